// WorkerPool: a bounded set of threads that the pool owns and joins. A
// thread whose work has ended is joined the next time a thread is started
// (or reap() is called), and every thread is joined at shutdown, so no
// thread outlives the objects its work refers to.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "twk/result.h"

namespace twk::core {

class WorkerPool {
 public:
  // A pool of at most `max_threads` threads at once.
  explicit WorkerPool(std::size_t max_threads);
  // join_all().
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs `work` on a new thread of the pool, after joining the threads whose
  // work has ended. Fails when `max_threads` are not yet joined, when
  // join_all() has begun, or when the system has no thread to give.
  // `work` must not throw. Thread-safe, callable from the pool's threads.
  Status start(std::function<void()> work);

  // Threads whose work has not ended yet.
  std::size_t running() const;

  // Threads not joined yet: those running and those ended but not reaped.
  std::size_t unjoined() const;

  // Joins the threads whose work has ended. Never blocks on running work.
  void reap();

  // Refuses every later start() and joins every thread, waiting for their
  // work to end: the caller must first see to it that it does. Not to be
  // called from a thread of the pool.
  void join_all();

 private:
  void run(std::function<void()> work);
  void reap_locked();

  const std::size_t max_threads_;
  mutable std::mutex mutex_;
  // Guarded by mutex_. Both vectors have room for max_threads_ from the
  // start, so that recording a thread never allocates (and never throws)
  // once the thread exists.
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> ended_;  // work done, not joined yet
  std::size_t running_ = 0;
  bool closed_ = false;
};

}  // namespace twk::core
