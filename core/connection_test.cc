// One connection served over a socket pair: what is read, what is answered,
// and the idle registry that lets the server take back a waiting worker.
#include "connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "policy.h"
#include "routes.h"
#include "twk/testing/sockets.h"

namespace twk::core {
namespace {

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server = sys::UniqueFd(fds[0]);
    client = sys::UniqueFd(fds[1]);
  }
  void send(const std::string& data) const {
    ASSERT_EQ(::write(client.get(), data.data(), data.size()),
              static_cast<ssize_t>(data.size()));
  }
  std::string read_all() const {
    return twk::testing::read_until_closed(client.get());
  }
  sys::UniqueFd server;
  sys::UniqueFd client;
};

TEST(Connection, AnswersFromTheHeadUnlessTheTokenIsRight) {
  Policy policy;  // no rules: every event gets a null output
  Routes routes("secret", policy);
  IdleConnections idle;
  struct Case {
    std::string request;
    std::string reply_starts;
  } cases[] = {
      {"GET /health HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      // No token: refused at once, without "100 Continue" and without
      // waiting for the 64 MiB the head announces.
      {"POST /v1/policy/hook HTTP/1.1\r\nContent-Length: 67108864\r\n"
       "Expect: 100-continue\r\n\r\n",
       "HTTP/1.1 401 "},
      {"POST /v1/policy/hook HTTP/1.1\r\nAuthorization: Bearer secret\r\n"
       "Content-Length: 60\r\n\r\n"
       R"({"agent":"claude-code","context":{},"hook":"x","input":null})",
       "HTTP/1.1 200 OK\r\n"},
  };
  for (const Case& c : cases) {
    Pair pair;
    pair.send(c.request);
    ASSERT_EQ(::shutdown(pair.client.get(), SHUT_WR), 0);
    serve_connection(std::move(pair.server), routes, idle);
    std::string reply = pair.read_all();
    EXPECT_TRUE(reply.starts_with(c.reply_starts)) << reply;
    EXPECT_EQ(reply.find("100 Continue"), std::string::npos) << reply;
  }
  EXPECT_TRUE(idle.empty());
}

TEST(Connection, AWaitingConnectionCanBeShutDown) {
  Policy policy;
  Routes routes("secret", policy);
  IdleConnections idle;
  Pair pair;
  pair.send("GET /hea");  // half a head, then nothing
  std::thread server([&] {
    serve_connection(std::move(pair.server), routes, idle);
  });
  while (idle.empty()) std::this_thread::yield();
  // Too recent: stays.
  idle.shut_down_idle_since(IdleConnections::Clock::now() -
                            std::chrono::hours(1));
  EXPECT_FALSE(idle.empty());
  // Waiting since before now: shut down, and its worker is free again
  // long before the request's own time-out.
  idle.shut_down_idle_since(IdleConnections::Clock::now());
  server.join();
  EXPECT_TRUE(idle.empty());
}

}  // namespace
}  // namespace twk::core
