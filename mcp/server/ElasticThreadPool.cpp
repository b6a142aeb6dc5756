#include "mcp/server/ElasticThreadPool.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace varn::mcp {

ElasticThreadPool::ElasticThreadPool(std::size_t eagerThreads, Clock::duration growDelay,
                                     Clock::duration idleLimit, std::size_t maxThreads,
                                     ThreadStarter startThread)
    : eagerThreads_(eagerThreads),
      growDelay_(growDelay),
      idleLimit_(idleLimit),
      maxThreads_(maxThreads),
      startThread_(std::move(startThread)) {}

ElasticThreadPool::ThreadStarter ElasticThreadPool::defaultThreadStarter() {
  return [](std::function<void()> body) { return std::thread(std::move(body)); };
}

ElasticThreadPool::~ElasticThreadPool() {
  std::thread supervisor;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    supervisor = std::move(supervisor_);
  }
  wake_.notify_all();
  overflow_.notify_all();
  // The supervisor stays until every queued task has a thread; workers drain the queue before
  // they end, so every submitted task runs.
  if (supervisor.joinable()) supervisor.join();
  std::list<Worker> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  // Tasks that never got a thread (none could be started) run here, so that none is lost.
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front().task);
      tasks_.pop_front();
    }
    task();
  }
}

void ElasticThreadPool::submit(std::function<void()> task) {
  if (finishedCount_.load(std::memory_order_relaxed) > 0) reapFinished();
  std::unique_lock lock(mutex_);
  tasks_.push_back(Queued{std::move(task), Clock::now()});
  if (unservedLocked() == 0) {
    lock.unlock();
    wake_.notify_one();
    return;
  }
  const std::size_t alive = aliveLocked();
  if (alive < eagerThreads_ && alive < maxThreads_ && spawnLocked()) return;
  // Beyond the eager threads, at the cap, or after a failed start: the supervisor adds threads
  // over time, and meanwhile the task waits for a thread that frees up.
  superviseLocked();
  lock.unlock();
  overflow_.notify_one();
}

std::size_t ElasticThreadPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return aliveLocked();
}

std::size_t ElasticThreadPool::aliveLocked() const {
  return workers_.size() - finishedCount_.load(std::memory_order_relaxed);
}

std::size_t ElasticThreadPool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_;
}

std::size_t ElasticThreadPool::unservedLocked() const {
  const std::size_t coming = idle_ + starting_;
  return tasks_.size() > coming ? tasks_.size() - coming : 0;
}

bool ElasticThreadPool::spawnLocked() {
  auto self = workers_.emplace(workers_.end());
  ++starting_;
  try {
    self->thread = startThread_([this, self] { work(self); });
    return true;
  } catch (...) {
    // Undone: the pool is as before the attempt, and the task waits in the queue.
    --starting_;
    workers_.erase(self);
    return false;
  }
}

void ElasticThreadPool::superviseLocked() {
  if (supervisor_.joinable()) return;
  try {
    supervisor_ = startThread_([this] { supervise(); });
  } catch (...) {
    // Tried again by the next submit; the queue is also drained by the workers that exist, and
    // at the latest by the destructor.
  }
}

void ElasticThreadPool::work(std::list<Worker>::iterator self) {
  std::unique_lock lock(mutex_);
  --starting_;
  for (;;) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front().task);
      tasks_.pop_front();
      if (closing_ && tasks_.empty()) overflow_.notify_all();
      lock.unlock();
      task();
      task = nullptr;  // the task's captures go before the thread reports for more work
      lock.lock();
      continue;
    }
    if (closing_) break;
    ++idle_;
    const bool woken =
        wake_.wait_for(lock, idleLimit_, [this] { return !tasks_.empty() || closing_; });
    --idle_;
    if (!woken) break;
  }
  self->finished = true;
  finishedCount_.fetch_add(1, std::memory_order_relaxed);
  // Below the cap again: the supervisor may start a thread for a waiting task.
  overflow_.notify_all();
}

void ElasticThreadPool::supervise() {
  std::unique_lock lock(mutex_);
  Clock::time_point nextSpawn = Clock::now();
  for (;;) {
    if (closing_ && tasks_.empty()) return;
    const std::size_t unserved = unservedLocked();
    if (unserved == 0 || aliveLocked() >= maxThreads_) {
      // Nothing to add, or at the cap: a new task, an ended worker or closing wakes this up; a
      // worker that frees up takes the next task itself.
      overflow_.wait(lock);
      continue;
    }
    // The oldest task that no thread will take: idle and starting threads take the ones before it.
    // Threads are added one per period, so a backlog behind blocked tasks grows the pool steadily
    // rather than by one thread per queued task at once.
    const Clock::time_point due =
        std::max(tasks_[tasks_.size() - unserved].since + growDelay_, nextSpawn);
    const Clock::time_point now = Clock::now();
    if (now >= due) {
      // A failed start is tried again one period later; once closing, the destructor runs what
      // no thread takes.
      if (!spawnLocked() && closing_) return;
      nextSpawn = now + growDelay_;
    } else {
      overflow_.wait_until(lock, due);
    }
  }
}

void ElasticThreadPool::reapFinished() {
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->finished) {
        ended.push_back(std::move(it->thread));
        it = workers_.erase(it);
        finishedCount_.fetch_sub(1, std::memory_order_relaxed);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& thread : ended) thread.join();
}

}  // namespace varn::mcp
