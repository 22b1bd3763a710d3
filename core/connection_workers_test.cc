// The workers on a real loopback listener: failed accepts (through the
// accept seam, without running out of anything real), the bound on
// connections served at once, and growing and shrinking with the load.
#include "connection_workers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "listener.h"
#include "twk/testing/sockets.h"

namespace twk::core {
namespace {

constexpr std::string_view kAnswer = "served\n";

// A loopback listener and clients for it.
struct Loopback {
  Loopback() {
    Result<sys::UniqueFd> fd = open_listener("127.0.0.1", 0);
    EXPECT_TRUE(fd.ok()) << (fd.ok() ? "" : fd.reason());
    if (!fd.ok()) return;
    Result<std::uint16_t> bound = bound_port(fd->get());
    EXPECT_TRUE(bound.ok());
    port = bound.ok() ? *bound : 0;
    listener = std::move(*fd);
  }

  sys::UniqueFd connect() const {
    sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
                        sizeof address),
              0);
    return fd;
  }

  // Everything the server sends until it closes.
  static std::string read_all(const sys::UniqueFd& fd) {
    return twk::testing::read_until_closed(fd.get());
  }

  sys::UniqueFd listener;
  std::uint16_t port = 0;
};

void answer(sys::UniqueFd fd) {
  (void)::send(fd.get(), kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
}

// Each accept error, returned for the first three accepts: resource
// shortages make the worker pause before each retry, and none stops the
// workers serving this connection and the next.
TEST(ConnectionWorkers, FailedAcceptsNeitherSpinNorStopTheWorkers) {
  struct Case {
    int error;
    int pauses;
  } cases[] = {
      {EMFILE, 3}, {ENFILE, 3},       {ENOBUFS, 3},
      {ENOMEM, 3}, {ECONNABORTED, 0}, {EAGAIN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    Loopback loopback;
    std::atomic<int> failures_left{3};
    std::atomic<int> pauses{0};
    WorkerSettings settings;
    settings.listener = loopback.listener.get();
    settings.serve = answer;
    settings.seam.accept = [&](int listener) {
      if (failures_left.fetch_sub(1) > 0) return Accepted{{}, c.error};
      return accept_connection(listener);
    };
    settings.seam.pause = [&] { ++pauses; };
    ConnectionWorkers workers(std::move(settings));
    ASSERT_TRUE(workers.start().ok());

    sys::UniqueFd first = loopback.connect();
    EXPECT_EQ(Loopback::read_all(first), kAnswer);
    EXPECT_LE(failures_left.load(), 0) << "the failures were not met";
    EXPECT_EQ(pauses.load(), c.pauses);
    sys::UniqueFd second = loopback.connect();
    EXPECT_EQ(Loopback::read_all(second), kAnswer);
    EXPECT_EQ(pauses.load(), c.pauses);
  }
}

// Connections beyond the bound wait in the backlog and are served as
// workers come free; the pool grows to the bound under load and shrinks
// back to its spares once idle.
TEST(ConnectionWorkers, ServeAtMostTheirBoundAtOnceAndShrinkWhenIdle) {
  Loopback loopback;
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int serving = 0;
  int most = 0;
  WorkerSettings settings;
  settings.listener = loopback.listener.get();
  settings.max_workers = 3;
  settings.spare_workers = 1;
  settings.spare_idle = std::chrono::milliseconds(20);
  settings.serve = [&](sys::UniqueFd fd) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      most = std::max(most, ++serving);
      changed.wait(lock, [&] { return open; });
      --serving;
    }
    answer(std::move(fd));
  };
  ConnectionWorkers workers(std::move(settings));
  ASSERT_TRUE(workers.start().ok());

  std::vector<sys::UniqueFd> clients;
  for (int i = 0; i < 6; ++i) clients.push_back(loopback.connect());
  // A worker counts as active once it has accepted, a moment before it
  // enters serve: wait for all three to be inside it.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (serving >= 3) break;
    }
    std::this_thread::yield();
  }
  EXPECT_TRUE(workers.saturated());
  EXPECT_TRUE(connections_queued(loopback.listener.get()));
  {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  for (const sys::UniqueFd& client : clients) {
    EXPECT_EQ(Loopback::read_all(client), kAnswer);
  }
  EXPECT_EQ(most, 3);

  while (workers.counts().workers > 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(workers.counts().active, 0u);
  workers.stop();
  workers.join();
  EXPECT_EQ(workers.counts().workers, 0u);
}

}  // namespace
}  // namespace twk::core
