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
// otherwise a new thread is started, up to `maxThreads`. A task may block for minutes (a human
// approval, the vault, a child process), so a fixed small pool would let blocked tasks hold back
// the next ones; the cap only keeps a flood from exhausting the process's threads and memory. A
// task beyond the cap waits in the queue until a thread is free.
//
// Up to `eagerThreads` threads are started the moment they are needed. Beyond that, while tasks
// wait with no thread to take them, one thread is added per `growDelay` (the first once the oldest
// waiting task has waited that long), so a burst of quick tasks is served by the threads that exist
// instead of one new thread each, and tasks queued behind blocked ones still start, at a pace of
// one per `growDelay` at worst. A thread that stays idle for `idleLimit` ends.
//
// A thread that cannot be started (a process or memory limit) is no error: the start is undone and
// the task waits for a thread that frees up or for a later start, tried once per `growDelay`.
// Thread-safe. The destructor waits for every submitted task, running any that no thread could
// take on its own thread.
class ElasticThreadPool final {
 public:
  using Clock = std::chrono::steady_clock;
  // Starts a thread running the given body, or throws (std::system_error) when it cannot.
  using ThreadStarter = std::function<std::thread(std::function<void()>)>;

  static constexpr std::size_t kMaxThreads = 1024;

  explicit ElasticThreadPool(std::size_t eagerThreads = 64,
                             Clock::duration growDelay = std::chrono::milliseconds(2),
                             Clock::duration idleLimit = std::chrono::seconds(10),
                             std::size_t maxThreads = kMaxThreads,
                             ThreadStarter startThread = defaultThreadStarter());
  ~ElasticThreadPool();

  ElasticThreadPool(const ElasticThreadPool&) = delete;
  ElasticThreadPool& operator=(const ElasticThreadPool&) = delete;

  // std::thread itself.
  [[nodiscard]] static ThreadStarter defaultThreadStarter();

  // Queues `task` to start as described above; never fails for want of a thread. The task must
  // not throw; an escaping exception ends the process.
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
  // Workers alive now. Requires mutex_.
  [[nodiscard]] std::size_t aliveLocked() const;
  // Starts one worker; false (with nothing changed) when the thread could not start. Requires
  // mutex_.
  bool spawnLocked();
  // Starts the supervisor unless it runs; a failed start is tried again by the next submit.
  // Requires mutex_.
  void superviseLocked();
  void work(std::list<Worker>::iterator self);
  // Adds threads for tasks that waited too long; runs while tasks may be left without one.
  void supervise();
  // Joins the threads that have ended. Called without the lock held.
  void reapFinished();

  const std::size_t eagerThreads_;
  const Clock::duration growDelay_;
  const Clock::duration idleLimit_;
  const std::size_t maxThreads_;
  const ThreadStarter startThread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // workers: a task was queued, or the pool is closing
  // supervisor: a task is waiting for a thread, a worker ended, or the pool is closing
  std::condition_variable overflow_;
  std::deque<Queued> tasks_;   // guarded by mutex_
  std::list<Worker> workers_;  // guarded by mutex_
  std::thread supervisor_;     // started on first need; guarded by mutex_
  std::size_t idle_ = 0;       // guarded by mutex_: workers waiting for a task
  std::size_t starting_ = 0;   // guarded by mutex_: workers started, not yet looking
  std::atomic<std::size_t> finishedCount_{0};  // written under mutex_; read without it
  bool closing_ = false;                       // guarded by mutex_
};

}  // namespace varn::mcp
