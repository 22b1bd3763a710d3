// The threads that take connections off Core's listening socket and serve
// them: each waits in an epoll set of its own, is woken alone for a
// connection, accepts it and serves it on its own thread. A bounded
// WorkerPool owns the threads and joins every one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>

#include "twk/result.h"
#include "twk/sys/fd.h"
#include "worker_pool.h"

namespace twk::core {

// Connections served at once, one per worker thread; more wait in the
// backlog. Each holds its worker for at most its request, send and linger
// times (connection.cc, listener.cc).
inline constexpr std::size_t kMaxConnections = 64;
// Workers kept waiting for connections. A new connection is taken by a
// worker that is already waiting, on the thread the kernel wakes for it:
// creating a thread or handing the connection to another one costs about
// 100 microseconds on a small virtual machine, more than answering it.
inline constexpr std::size_t kSpareWorkers = 2;
// A worker beyond the spares ends after waiting this long for work.
inline constexpr std::chrono::milliseconds kSpareWorkerIdle{30 * 1000};

// What one accept gave: the connection (close-on-exec), or the errno of
// the failure and no descriptor.
struct Accepted {
  sys::UniqueFd fd;
  int error = 0;
};

// One accept4() on the listening socket `listener`.
Accepted accept_connection(int listener);

// How the workers take connections, as a seam: tests make accept fail as it
// does when the process or the system runs out of descriptors, and count
// the pauses that follow, without exhausting anything real.
struct AcceptSeam {
  std::function<Accepted(int listener)> accept = accept_connection;
  // Called after an accept failed for want of descriptors or memory (the
  // connection stays queued and the listener readable), so that the worker
  // waits a moment instead of spinning on it. Sleeps 10 ms by default.
  std::function<void()> pause;
};

struct WorkerSettings {
  int listener = -1;  // non-blocking listening socket, owned by the caller
  std::size_t max_workers = kMaxConnections;
  // Workers kept waiting for connections.
  std::size_t spare_workers = kSpareWorkers;
  std::chrono::milliseconds spare_idle = kSpareWorkerIdle;
  // Serves one accepted connection to its end. Called on the worker's
  // thread, by up to max_workers threads at once; must not throw.
  std::function<void(sys::UniqueFd)> serve;
  AcceptSeam seam;
};

class ConnectionWorkers {
 public:
  using Clock = std::chrono::steady_clock;

  // Nothing runs until start().
  explicit ConnectionWorkers(WorkerSettings settings);
  // stop() and join().
  ~ConnectionWorkers();
  ConnectionWorkers(const ConnectionWorkers&) = delete;
  ConnectionWorkers& operator=(const ConnectionWorkers&) = delete;

  // Starts the spare workers. Fails when not even one could be started.
  Status start();

  // Tells every worker to end once its connection is answered; those
  // waiting end at once. Thread-safe; repeating it is harmless.
  void stop();

  // Waits until every worker has ended (after stop()) and joins it.
  void join();

  // Joins workers that ended after idling. Never waits for running ones.
  void reap() { pool_.reap(); }

  struct Counts {
    std::size_t workers = 0;  // running workers
    std::size_t waiting = 0;  // of those, waiting for a connection
    std::size_t active = 0;   // connections being served
  };
  Counts counts() const;

  // Every worker is busy and no more can be added: connections that arrive
  // now wait in the backlog.
  bool saturated() const;

  // When a connection was last accepted or finished (or start() ran).
  Clock::time_point last_activity() const {
    return Clock::time_point(Clock::duration(last_activity_.load()));
  }

 private:
  // What one wait in a worker's epoll set came to.
  struct Wake {
    bool stop = false;       // told to end
    bool failed = false;     // the wait itself failed
    bool timed_out = false;  // waited spare_idle for nothing
    sys::UniqueFd fd;        // an accepted connection, if any
  };

  void run_worker() noexcept;
  sys::UniqueFd worker_poller() const;
  Wake wait_for_connection(int poller) const;
  Status add_worker() noexcept;
  void touch() {
    last_activity_.store(Clock::now().time_since_epoch().count());
  }

  const WorkerSettings settings_;
  sys::UniqueFd stop_;  // an eventfd, readable once the workers are to end
  std::atomic<Clock::rep> last_activity_{0};
  mutable std::mutex mutex_;
  std::size_t waiting_ = 0;  // guarded by mutex_
  std::size_t active_ = 0;   // guarded by mutex_
  // Last, so that it is destroyed (joining its threads) first.
  WorkerPool pool_;
};

}  // namespace twk::core
