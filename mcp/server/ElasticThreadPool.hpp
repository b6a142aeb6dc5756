#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace varn::mcp {

// Runs every submitted task on a thread of its own: an idle thread is reused when one is free,
// otherwise a new thread is started. There is no upper bound, because a task may block
// for minutes (a human approval, the vault, a child process) and must never hold back the next one.
//
// Up to `eagerThreads` threads are started the moment they are needed. Beyond that, while tasks
// wait with no thread to take them, one thread is added per `growDelay` (the first once the oldest
// waiting task has waited that long), so a burst of quick tasks is served by the threads that exist
// instead of one new thread each, and tasks queued behind blocked ones still start, at a pace of
// one per `growDelay` at worst. A thread that stays idle for `idleLimit` ends. Thread-safe. The
// destructor waits for every submitted task.
class ElasticThreadPool final {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ElasticThreadPool(std::size_t eagerThreads = 64,
                             Clock::duration growDelay = std::chrono::milliseconds(2),
                             Clock::duration idleLimit = std::chrono::seconds(10));
  ~ElasticThreadPool();

  ElasticThreadPool(const ElasticThreadPool&) = delete;
  ElasticThreadPool& operator=(const ElasticThreadPool&) = delete;

  // Queues `task` to start as described above. The task must not throw; an escaping exception
  // ends the process.
  void submit(std::function<void()> task);

  // Worker threads alive now, busy or idle.
  [[nodiscard]] std::size_t threadCount() const;
  // Worker threads waiting for a task now.
  [[nodiscard]] std::size_t idleCount() const;

 private:
  struct Worker {
    std::thread thread;
    bool finished = false;  // guarded by mutex_; set by the worker as its last step
  };
  struct Queued {
    std::function<void()> task;
    Clock::time_point since;
  };

  // Queued tasks that no idle or starting thread will take. Requires mutex_.
  [[nodiscard]] std::size_t unservedLocked() const;
  // Starts one worker. Requires mutex_.
  void spawnLocked();
  void work(std::list<Worker>::iterator self);
  // Adds threads for tasks that waited too long; runs while tasks may be left without one.
  void supervise();
  // Joins the threads that have ended. Called without the lock held.
  void reapFinished();

  const std::size_t eagerThreads_;
  const Clock::duration growDelay_;
  const Clock::duration idleLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;      // workers: a task was queued, or the pool is closing
  std::condition_variable overflow_;  // supervisor: a task is waiting for a thread
  std::deque<Queued> tasks_;          // guarded by mutex_
  std::list<Worker> workers_;         // guarded by mutex_
  std::thread supervisor_;            // started on first need; guarded by mutex_
  std::size_t idle_ = 0;              // guarded by mutex_: workers waiting for a task
  std::size_t starting_ = 0;          // guarded by mutex_: workers started, not yet looking
  std::atomic<std::size_t> finishedCount_{0};  // written under mutex_; read without it
  bool closing_ = false;                       // guarded by mutex_
};

}  // namespace varn::mcp
