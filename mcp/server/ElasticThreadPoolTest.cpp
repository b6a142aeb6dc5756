#include "mcp/server/ElasticThreadPool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>

namespace varn::mcp {
namespace {

using namespace std::chrono_literals;

// Generous bound for things that happen at once; only reached when the behaviour is broken.
constexpr auto kBound = 10s;

// Blocks tasks until opened; a wait that outlasts kBound reports failure instead of hanging.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kBound, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Polls a condition that the pool reaches on its own, without sleeping, up to kBound.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ElasticThreadPoolTest, ABlockedTaskDoesNotHoldBackTheNextOne) {
  ElasticThreadPool pool;
  Gate gate;
  std::promise<bool> firstSawGate;
  pool.submit([&] { firstSawGate.set_value(gate.wait()); });
  pool.submit([&] { gate.open(); });
  auto result = firstSawGate.get_future();
  ASSERT_EQ(result.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(result.get());
}

TEST(ElasticThreadPoolTest, EveryBlockedTaskGetsAThreadOfItsOwn) {
  constexpr int kTasks = 64;
  ElasticThreadPool pool;
  Gate gate;
  std::latch allRunning(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    pool.submit([&] {
      allRunning.count_down();
      gate.wait();
    });
  }
  // Only reachable when all tasks run at the same time.
  EXPECT_TRUE(eventually([&] { return allRunning.try_wait(); }));
  EXPECT_EQ(pool.threadCount(), static_cast<std::size_t>(kTasks));
  gate.open();
}

TEST(ElasticThreadPoolTest, TasksBeyondTheEagerThreadsStartOnceTheyHaveWaited) {
  constexpr int kTasks = 10;
  ElasticThreadPool pool(2, 1ms);
  Gate gate;
  std::latch allRunning(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    pool.submit([&] {
      allRunning.count_down();
      gate.wait();
    });
  }
  EXPECT_TRUE(eventually([&] { return allRunning.try_wait(); }));
  EXPECT_EQ(pool.threadCount(), static_cast<std::size_t>(kTasks));
  gate.open();
}

TEST(ElasticThreadPoolTest, ABurstOfQuickTasksIsServedByTheThreadsThatExist) {
  std::atomic<int> done{0};
  {
    ElasticThreadPool pool(4, std::chrono::hours(1));
    for (int i = 0; i < 1000; ++i) pool.submit([&] { done.fetch_add(1); });
    EXPECT_LE(pool.threadCount(), 4u);
  }
  EXPECT_EQ(done.load(), 1000);
}

TEST(ElasticThreadPoolTest, IdleThreadsAreReusedBeforeNewOnesStart) {
  constexpr int kTasks = 8;
  ElasticThreadPool pool;
  for (int round = 0; round < 3; ++round) {
    Gate gate;
    std::latch allRunning(kTasks);
    for (int i = 0; i < kTasks; ++i) {
      pool.submit([&] {
        allRunning.count_down();
        gate.wait();
      });
    }
    ASSERT_TRUE(eventually([&] { return allRunning.try_wait(); }));
    gate.open();
    ASSERT_TRUE(eventually([&] { return pool.idleCount() == kTasks; }));
    EXPECT_EQ(pool.threadCount(), static_cast<std::size_t>(kTasks)) << "round " << round;
  }
}

TEST(ElasticThreadPoolTest, ThreadsIdleBeyondTheLimitEnd) {
  ElasticThreadPool pool(64, 2ms, 1ms);
  std::promise<void> ran;
  pool.submit([&] { ran.set_value(); });
  ran.get_future().wait();
  EXPECT_TRUE(eventually([&] { return pool.threadCount() == 0; }));
  // An ended thread is replaced when work comes again.
  std::promise<void> ranAgain;
  pool.submit([&] { ranAgain.set_value(); });
  EXPECT_EQ(ranAgain.get_future().wait_for(kBound), std::future_status::ready);
}

TEST(ElasticThreadPoolTest, DestructionWaitsForEverySubmittedTask) {
  std::atomic<int> done{0};
  {
    ElasticThreadPool pool;
    for (int i = 0; i < 1000; ++i) pool.submit([&] { done.fetch_add(1); });
  }
  EXPECT_EQ(done.load(), 1000);
}

}  // namespace
}  // namespace varn::mcp
