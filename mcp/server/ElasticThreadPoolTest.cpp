#include "mcp/server/ElasticThreadPool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <latch>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

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

// In every test the pool is declared after what its tasks use: its destructor waits for the tasks,
// which may still touch those objects after the test's last check.

TEST(ElasticThreadPoolTest, ABlockedTaskDoesNotHoldBackTheNextOne) {
  Gate gate;
  std::promise<bool> firstSawGate;
  ElasticThreadPool pool;
  pool.submit([&] { firstSawGate.set_value(gate.wait()); });
  pool.submit([&] { gate.open(); });
  auto result = firstSawGate.get_future();
  ASSERT_EQ(result.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(result.get());
}

TEST(ElasticThreadPoolTest, EveryBlockedTaskGetsAThreadOfItsOwn) {
  constexpr int kTasks = 64;
  Gate gate;
  std::latch allRunning(kTasks);
  ElasticThreadPool pool;
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
  Gate gate;
  std::latch allRunning(kTasks);
  ElasticThreadPool pool(2, 1ms);
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
  std::promise<void> ran;
  std::promise<void> ranAgain;
  ElasticThreadPool pool(64, 2ms, 1ms);
  pool.submit([&] { ran.set_value(); });
  ran.get_future().wait();
  EXPECT_TRUE(eventually([&] { return pool.threadCount() == 0; }));
  // An ended thread is replaced when work comes again.
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

// A thread starter that fails while `failing` is set and for its next `failuresLeft` starts, as
// thread creation does under a process or memory limit, and counts its successful starts.
struct FlakyStarter {
  std::atomic<bool> failing{false};
  std::atomic<int> failuresLeft{0};
  std::atomic<int> started{0};

  ElasticThreadPool::ThreadStarter starter() {
    return [this](std::function<void()> body) {
      if (failing.load() || failuresLeft.fetch_sub(1) > 0) {
        throw std::system_error(EAGAIN, std::generic_category(), "no threads");
      }
      started.fetch_add(1);
      return std::thread(std::move(body));
    };
  }
};

TEST(ElasticThreadPoolTest, NoMoreThreadsThanTheCapAndTheRestWaitTheirTurn) {
  constexpr int kCap = 4;
  constexpr int kTasks = 12;
  Gate gate;
  std::atomic<int> running{0};
  std::atomic<int> mostRunning{0};
  std::atomic<int> done{0};
  {
    // Every thread would start at once (eagerly) were it not for the cap.
    ElasticThreadPool pool(100, 0ms, 10s, kCap);
    for (int i = 0; i < kTasks; ++i) {
      pool.submit([&] {
        const int now = running.fetch_add(1) + 1;
        for (int most = mostRunning.load(); now > most;)
          mostRunning.compare_exchange_weak(most, now);
        gate.wait();
        running.fetch_sub(1);
        done.fetch_add(1);
      });
    }
    EXPECT_EQ(pool.threadCount(), static_cast<std::size_t>(kCap));
    ASSERT_TRUE(eventually([&] { return running.load() == kCap; }));
    gate.open();
  }
  EXPECT_EQ(done.load(), kTasks);
  EXPECT_EQ(mostRunning.load(), kCap);
}

TEST(ElasticThreadPoolTest, AFailedThreadStartIsUndoneAndTheTaskWaitsForALaterOne) {
  FlakyStarter threads;
  std::atomic<int> order{0};
  std::promise<int> first;
  std::promise<int> second;
  ElasticThreadPool pool(4, 1ms, 10s, ElasticThreadPool::kMaxThreads, threads.starter());
  threads.failing = true;
  pool.submit([&] { first.set_value(order.fetch_add(1)); });
  // Neither the worker nor the supervisor started, and nothing was left counted.
  EXPECT_EQ(pool.threadCount(), 0u);
  EXPECT_EQ(pool.idleCount(), 0u);
  threads.failing = false;
  pool.submit([&] { second.set_value(order.fetch_add(1)); });
  auto firstRan = first.get_future();
  auto secondRan = second.get_future();
  ASSERT_EQ(firstRan.wait_for(kBound), std::future_status::ready);
  ASSERT_EQ(secondRan.wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(firstRan.get(), 0);  // queued tasks keep their order
  EXPECT_EQ(secondRan.get(), 1);
  // One worker started by the second submit took both; the counts hold no trace of the failure.
  EXPECT_EQ(threads.started.load(), 1);
  EXPECT_EQ(pool.threadCount(), 1u);
}

TEST(ElasticThreadPoolTest, TheSupervisorRetriesAFailedStartWithoutAnotherSubmit) {
  FlakyStarter threads;
  threads.failuresLeft = 1;  // the worker's start fails, the supervisor's succeeds
  std::promise<void> ran;
  ElasticThreadPool pool(4, 1ms, 10s, ElasticThreadPool::kMaxThreads, threads.starter());
  pool.submit([&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(kBound), std::future_status::ready);
  EXPECT_EQ(threads.started.load(), 2);  // the supervisor and the worker it started
  EXPECT_EQ(pool.threadCount(), 1u);
}

TEST(ElasticThreadPoolTest, TasksNoThreadCouldTakeRunWhenThePoolCloses) {
  FlakyStarter threads;
  threads.failing = true;
  std::vector<int> ran;
  {
    ElasticThreadPool pool(4, 1ms, 10s, ElasticThreadPool::kMaxThreads, threads.starter());
    for (int i = 0; i < 3; ++i) pool.submit([&ran, i] { ran.push_back(i); });
    EXPECT_TRUE(ran.empty());
  }
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

}  // namespace
}  // namespace varn::mcp
