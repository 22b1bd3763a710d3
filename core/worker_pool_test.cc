// The pool's bound, and that every thread it started is joined: those that
// end early when the next one starts, the rest at shutdown.
#include "worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace twk::core {
namespace {

// Holds work back until opened.
class Gate {
 public:
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

TEST(WorkerPool, IsBoundedAndJoinsEveryThreadAtShutdown) {
  WorkerPool pool(3);
  Gate gate;
  std::atomic<int> ended{0};
  auto work = [&] {
    gate.wait();
    // Still working for a while after the gate opens: a pool that did not
    // join would return from join_all() before this ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ++ended;
  };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.start(work).ok());
  EXPECT_FALSE(pool.start(work).ok()) << "a fourth thread of three";
  EXPECT_EQ(pool.running(), 3u);

  gate.open();
  pool.join_all();
  EXPECT_EQ(ended.load(), 3);
  EXPECT_EQ(pool.running(), 0u);
  EXPECT_EQ(pool.unjoined(), 0u);
  EXPECT_FALSE(pool.start(work).ok()) << "started after shutdown";
}

TEST(WorkerPool, ThreadsThatEndedAreJoinedWhenTheNextStarts) {
  WorkerPool pool(2);
  // Held until both are started: a thread that ended before the second
  // start would be joined by it.
  Gate both_started;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(pool.start([&] { both_started.wait(); }).ok());
  }
  both_started.open();
  while (pool.running() > 0) std::this_thread::yield();
  EXPECT_EQ(pool.unjoined(), 2u);

  // Both places are taken until the ended threads are joined.
  Gate gate;
  ASSERT_TRUE(pool.start([&] { gate.wait(); }).ok());
  EXPECT_EQ(pool.unjoined(), 1u);
  pool.reap();  // never waits for running work
  EXPECT_EQ(pool.unjoined(), 1u);
  gate.open();
  while (pool.running() > 0) std::this_thread::yield();
  pool.reap();
  EXPECT_EQ(pool.unjoined(), 0u);
}

}  // namespace
}  // namespace twk::core
