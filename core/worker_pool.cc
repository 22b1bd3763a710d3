// Starting, counting and joining the pool's threads.
#include "worker_pool.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "twk/sys/error.h"

namespace twk::core {

WorkerPool::WorkerPool(std::size_t max_threads) : max_threads_(max_threads) {
  threads_.reserve(max_threads_);
  ended_.reserve(max_threads_);
}

WorkerPool::~WorkerPool() { join_all(); }

Status WorkerPool::start(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return Failure{"the workers are shutting down"};
  reap_locked();
  if (threads_.size() >= max_threads_) {
    return Failure{"all " + std::to_string(max_threads_) +
                   " worker threads are busy"};
  }
  try {
    // No reallocation (the room was reserved), so a failure to create the
    // thread leaves threads_ as it was. The new thread records its end
    // under mutex_, so it cannot do so before it is in threads_.
    threads_.emplace_back(&WorkerPool::run, this, std::move(work));
  } catch (const std::system_error& e) {
    return Failure{"couldn't start a worker thread: " +
                   sys::os_error_text(e.code().value())};
  }
  ++running_;
  return Ok{};
}

void WorkerPool::run(std::function<void()> work) {
  work();
  std::lock_guard<std::mutex> lock(mutex_);
  // Fits the reserved room: every entry is a thread in threads_, and a
  // thread is listed once.
  ended_.push_back(std::this_thread::get_id());
  --running_;
}

std::size_t WorkerPool::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

std::size_t WorkerPool::unjoined() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

void WorkerPool::reap() {
  std::lock_guard<std::mutex> lock(mutex_);
  reap_locked();
}

void WorkerPool::reap_locked() {
  // Joined under the lock: a listed thread has nothing left to do but
  // return, and never takes the lock again.
  for (std::thread::id id : ended_) {
    auto it = std::find_if(
        threads_.begin(), threads_.end(),
        [id](const std::thread& t) { return t.get_id() == id; });
    if (it == threads_.end()) continue;  // already taken by join_all()
    it->join();
    threads_.erase(it);
  }
  ended_.clear();
}

void WorkerPool::join_all() {
  std::vector<std::thread> joining;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    joining.swap(threads_);
  }
  // Joined without the lock, which running threads need in order to end.
  // Once closed_ is set no thread is added, so one sweep takes them all.
  for (std::thread& t : joining) t.join();
  std::lock_guard<std::mutex> lock(mutex_);
  ended_.clear();
}

}  // namespace twk::core
