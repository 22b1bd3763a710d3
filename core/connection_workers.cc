// The workers' loop: wait, accept, serve, and grow or shrink the pool.
#include "connection_workers.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <thread>
#include <utility>

#include "twk/sys/error.h"

namespace twk::core {
namespace {

// After a failed accept for want of descriptors or memory, a pause before
// the next try.
constexpr std::chrono::milliseconds kBusyRecheck{10};

// Failures that leave the connection queued until something is freed.
bool out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS ||
         error == ENOMEM;
}

}  // namespace

Accepted accept_connection(int listener) {
  Accepted out;
  out.fd = sys::UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!out.fd.valid()) out.error = errno;
  return out;
}

ConnectionWorkers::ConnectionWorkers(WorkerSettings settings)
    : settings_(std::move(settings)), pool_(settings_.max_workers) {}

ConnectionWorkers::~ConnectionWorkers() {
  stop();
  join();
}

Status ConnectionWorkers::start() {
  stop_ = sys::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop_.valid()) {
    return Failure{"couldn't create an event descriptor: " +
                   sys::os_error_text(errno)};
  }
  touch();
  Status started = Failure{"no spare workers were asked for"};
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < settings_.spare_workers; ++i) {
    Status one = add_worker();
    if (one || started) continue;
    started = std::move(one);  // keep the first reason, unless one starts
  }
  // One running worker is enough to serve; the others are added as needed.
  if (pool_.running() > 0) return Ok{};
  return started;
}

void ConnectionWorkers::stop() {
  if (!stop_.valid()) return;
  std::uint64_t one = 1;
  // An eventfd stays readable until read, and no one reads it: every worker
  // sees it, now or when it next waits.
  while (::write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void ConnectionWorkers::join() { pool_.join_all(); }

ConnectionWorkers::Counts ConnectionWorkers::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {pool_.running(), waiting_, active_};
}

bool ConnectionWorkers::saturated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_ == 0 && pool_.running() >= settings_.max_workers;
}

// Called with mutex_ held, so that two workers never both add one for the
// same shortage.
Status ConnectionWorkers::add_worker() noexcept {
  try {
    return pool_.start([this] { run_worker(); });
  } catch (const std::exception&) {
    return Failure{std::string()};  // out of memory: not worth a reason
  }
}

// The worker's own epoll set: the listener with EPOLLEXCLUSIVE, so that the
// kernel wakes one waiting worker per connection rather than all of them,
// and the stop eventfd, which wakes every one. Invalid on failure.
sys::UniqueFd ConnectionWorkers::worker_poller() const {
  sys::UniqueFd poller(::epoll_create1(EPOLL_CLOEXEC));
  if (!poller.valid()) return poller;
  epoll_event on_listener{};
  on_listener.events = EPOLLIN | EPOLLEXCLUSIVE;
  on_listener.data.fd = settings_.listener;
  epoll_event on_stop{};
  on_stop.events = EPOLLIN;
  on_stop.data.fd = stop_.get();
  if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, settings_.listener,
                  &on_listener) != 0 ||
      ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, stop_.get(), &on_stop) != 0) {
    return sys::UniqueFd();
  }
  return poller;
}

ConnectionWorkers::Wake ConnectionWorkers::wait_for_connection(
    int poller) const {
  Wake wake;
  epoll_event events[2];
  const int n = ::epoll_wait(poller, events, 2,
                             static_cast<int>(settings_.spare_idle.count()));
  if (n < 0) {
    wake.failed = errno != EINTR;
    return wake;
  }
  wake.timed_out = n == 0;
  bool incoming = false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == stop_.get()) wake.stop = true;
    if (events[i].data.fd == settings_.listener) incoming = true;
  }
  if (!incoming || wake.stop) return wake;
  Accepted accepted = settings_.seam.accept(settings_.listener);
  if (accepted.fd.valid()) {
    wake.fd = std::move(accepted.fd);
  } else if (out_of_resources(accepted.error)) {
    if (settings_.seam.pause) {
      settings_.seam.pause();
    } else {
      std::this_thread::sleep_for(kBusyRecheck);
    }
  }
  // EAGAIN: another worker took it; others (ECONNABORTED): the next one.
  return wake;
}

// Waits for a connection, accepts it and serves it, over and over. Before
// serving, it adds a worker if it was the last one waiting, so that a slow
// client never holds up the next connection. It ends when told to stop, or
// when it has waited long enough while enough other workers wait too.
void ConnectionWorkers::run_worker() noexcept {
  sys::UniqueFd poller = worker_poller();
  std::unique_lock<std::mutex> lock(mutex_);
  while (poller.valid()) {
    ++waiting_;
    lock.unlock();
    Wake wake = wait_for_connection(poller.get());
    lock.lock();
    --waiting_;
    if (wake.stop || wake.failed) break;
    if (!wake.fd.valid()) {
      if (wake.timed_out && waiting_ >= settings_.spare_workers) break;
      continue;
    }
    ++active_;
    // At max_workers the pool refuses; the connection is served all the
    // same, and the next ones wait in the backlog.
    if (waiting_ == 0) (void)add_worker();
    lock.unlock();
    touch();
    settings_.serve(std::move(wake.fd));
    touch();
    lock.lock();
    --active_;
  }
}

}  // namespace twk::core
