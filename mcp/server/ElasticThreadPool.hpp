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

// Runs every submitted task at once on a thread of its own: an idle thread is reused when one is
// free, otherwise a new thread is started. There is no upper bound, because a task may block for
// minutes (a human approval, the vault, a child process) and must never hold back the next one.
// A thread that stays idle for `idleLimit` ends, so a burst does not leave its threads behind.
// Thread-safe. The destructor waits for every submitted task to finish.
class ElasticThreadPool final {
 public:
  explicit ElasticThreadPool(
      std::chrono::steady_clock::duration idleLimit = std::chrono::seconds(10));
  ~ElasticThreadPool();

  ElasticThreadPool(const ElasticThreadPool&) = delete;
  ElasticThreadPool& operator=(const ElasticThreadPool&) = delete;

  // Starts `task` now. The task must not throw; an escaping exception ends the process.
  void submit(std::function<void()> task);

  // Threads alive now, busy or idle.
  [[nodiscard]] std::size_t threadCount() const;
  // Threads waiting for a task now.
  [[nodiscard]] std::size_t idleCount() const;

 private:
  struct Worker {
    std::thread thread;
    bool finished = false;  // guarded by mutex_; set by the worker as its last step
  };

  void work(std::list<Worker>::iterator self);
  // Joins the threads that have ended. Called without the lock held.
  void reapFinished();

  const std::chrono::steady_clock::duration idleLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;               // a task was queued, or the pool is closing
  std::deque<std::function<void()>> tasks_;    // guarded by mutex_
  std::list<Worker> workers_;                  // guarded by mutex_
  std::size_t idle_ = 0;                       // guarded by mutex_: workers waiting for a task
  std::atomic<std::size_t> finishedCount_{0};  // written under mutex_; read without it
  bool closing_ = false;                       // guarded by mutex_
};

}  // namespace varn::mcp
