#include "mcp/server/ElasticThreadPool.hpp"

#include <utility>
#include <vector>

namespace varn::mcp {

ElasticThreadPool::ElasticThreadPool(std::chrono::steady_clock::duration idleLimit)
    : idleLimit_(idleLimit) {}

ElasticThreadPool::~ElasticThreadPool() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  // Workers drain the queue before they end, so every submitted task runs.
  std::list<Worker> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
}

void ElasticThreadPool::submit(std::function<void()> task) {
  if (finishedCount_.load(std::memory_order_relaxed) > 0) reapFinished();
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  if (tasks_.size() <= idle_) {
    lock.unlock();
    wake_.notify_one();
    return;
  }
  // Every idle thread already has a queued task waiting for it: start one more.
  auto self = workers_.emplace(workers_.end());
  self->thread = std::thread([this, self] { work(self); });
}

std::size_t ElasticThreadPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return workers_.size() - finishedCount_;
}

std::size_t ElasticThreadPool::idleCount() const {
  std::lock_guard lock(mutex_);
  return idle_;
}

void ElasticThreadPool::work(std::list<Worker>::iterator self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // the task's captures go before the thread reports for more work
      lock.lock();
      continue;
    }
    if (closing_) break;
    ++idle_;
    bool woken = wake_.wait_for(lock, idleLimit_, [this] { return !tasks_.empty() || closing_; });
    --idle_;
    if (!woken) break;
  }
  self->finished = true;
  ++finishedCount_;
}

void ElasticThreadPool::reapFinished() {
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->finished) {
        ended.push_back(std::move(it->thread));
        it = workers_.erase(it);
        --finishedCount_;
      } else {
        ++it;
      }
    }
  }
  for (std::thread& thread : ended) thread.join();
}

}  // namespace varn::mcp
