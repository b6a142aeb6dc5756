#include "mcp/server/ReplyQueue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <utility>

namespace varn::mcp {
namespace {

// How long the reply writer watches for the next reply before it sleeps.
constexpr auto kWriterWatch = std::chrono::microseconds(200);

// A hint to the processor that this thread is waiting in a loop.
inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

ReplyQueue::ReplyQueue(ServeLimits limits)
    : limits_(limits),
      replyBytes_(limits.bytes - std::min(limits.ahead, limits.bytes)),
      roomFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!roomFd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void ReplyQueue::signalRoom() {
  room_.notify_one();
  const std::uint64_t one = 1;
  // A full counter is still readable: nothing is lost when this fails for good.
  while (::write(roomFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool ReplyQueue::stillFull() {
  std::uint64_t count;
  while (::read(roomFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
  std::lock_guard lock(mutex_);
  readerWaiting_ = fullLocked();
  // The replies the writer is to write may not have been announced yet.
  if (readerWaiting_) ready_.notify_one();
  return readerWaiting_;
}

ReplyQueue::Slot& ReplyQueue::add(std::size_t heldBytes, bool& full) {
  std::lock_guard lock(mutex_);
  bytes_ += heldBytes;
  Slot& slot = slots_.emplace_back();
  slot.weight = heldBytes;
  full = fullLocked();
  return slot;
}

bool ReplyQueue::addReady(Reply reply, std::size_t lineBytes) {
  std::lock_guard lock(mutex_);
  const std::size_t weight = lineBytes + reply.text.size();
  bytes_ += weight;
  slots_.push_back(Slot{std::move(reply), true, weight});
  changes_.fetch_add(1, std::memory_order_release);
  return fullLocked();
}

void ReplyQueue::wakeWriter() {
  bool ready;
  {
    std::lock_guard lock(mutex_);
    ready = !slots_.empty() && slots_.front().done;
  }
  if (ready) ready_.notify_one();
}

void ReplyQueue::fill(Slot& slot, std::optional<Reply> reply) {
  bool front;
  bool wakeReader;
  {
    std::lock_guard lock(mutex_);
    bytes_ -= slot.weight;
    slot.weight = reply ? reply->text.size() : 0;
    bytes_ += slot.weight;
    wakeReader = readerWaiting_ && !fullLocked();
    slot.reply = std::move(reply);
    slot.done = true;
    front = &slots_.front() == &slot;
    changes_.fetch_add(1, std::memory_order_release);
  }
  // The writer only ever waits for the front slot.
  if (front) ready_.notify_one();
  if (wakeReader) signalRoom();
}

void ReplyQueue::finish() {
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changes_.fetch_add(1, std::memory_order_release);
  }
  ready_.notify_one();
}

void ReplyQueue::waitForRoom() {
  std::unique_lock lock(mutex_);
  if (!fullLocked()) return;
  ready_.notify_one();
  readerWaiting_ = true;
  room_.wait(lock, [this] { return !fullLocked(); });
  readerWaiting_ = false;
}

bool ReplyQueue::take(std::optional<Reply>& reply) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] {
    return (!slots_.empty() && slots_.front().done) || (finished_ && slots_.empty());
  };
  if (!ready()) {
    // A reply usually follows the last one within microseconds (the next request of a client
    // that waits for each answer): watching for it briefly is far quicker than being woken.
    const std::uint64_t seen = changes_.load(std::memory_order_acquire);
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + kWriterWatch;
    for (unsigned round = 1; changes_.load(std::memory_order_acquire) == seen; ++round) {
      // The clock is read only now and then: reading it costs more than the check.
      if (round % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
      relax();
    }
    lock.lock();
  }
  ready_.wait(lock, ready);
  if (slots_.empty()) return false;
  reply = std::move(slots_.front().reply);
  bytes_ -= slots_.front().weight;
  slots_.pop_front();
  const bool wakeReader = readerWaiting_ && !fullLocked();
  lock.unlock();
  if (wakeReader) signalRoom();
  return true;
}

}  // namespace varn::mcp
