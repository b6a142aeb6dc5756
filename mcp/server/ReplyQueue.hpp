#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/server/LineReader.hpp"
#include "support/UniqueFd.hpp"

namespace varn::mcp {

// How much MCPServer::serve() lets be in flight (lines read and not yet answered, with their
// replies) before it pauses reading until the writer catches up. A tool call counts what it holds
// while it runs: its message as parsed, several times over for the copies that decoding and the
// tool make (MCPServer::kHeldCopies); once it is done, only its reply.
// While reading is paused, it reads ahead up to `ahead` bytes more, so that an approval answer
// behind the lines in flight still reaches the call that waits for it. Those bytes are part of
// `bytes`: reading pauses once the replies hold more than `bytes` less `ahead` (or anything at
// all, when `ahead` is the larger).
struct ServeLimits {
  std::size_t bytes = std::size_t{256} << 20;
  std::size_t replies = 5'000;
  std::size_t ahead = std::size_t{16} << 20;
};

// A reply as the server writes it: `text` directly followed by `sharedTail`, a part owned by the
// server (the cached result of "tools/list"), so that the large shared part is never copied.
struct Reply {
  std::string text;
  std::string_view sharedTail;
};

// The replies of MCPServer::serve(), one slot per handled line in arrival order. Handler threads
// fill slots in any order; the one writer takes them from the front as they become ready.
// std::deque keeps references to its elements valid across push_back and pop_front, so a handler
// can hold its slot.
//
// Each slot weighs what it holds: while its tool call runs, what the call is counted as holding
// (its parsed message, kHeldCopies times over); once answered, its reply. A reply made at once
// also counts its line. The reader waits for room while the slots are over the limits, so a flood
// of input cannot grow the memory without bound. add() and addReady() tell the reader when that
// is the case.
//
// Thread-safe: one reader adds, any thread fills, one writer takes. The queue is the reader's
// back-pressure: the reader pauses while it is over the limits.
class ReplyQueue final : public LineReader::BackPressure {
 public:
  // Throws std::system_error when the room signal cannot be made.
  explicit ReplyQueue(ServeLimits limits);

  ReplyQueue(const ReplyQueue&) = delete;
  ReplyQueue& operator=(const ReplyQueue&) = delete;

  struct Slot {
    std::optional<Reply> reply;
    bool done = false;
    std::size_t weight = 0;
  };

  // A slot for a reply still to come, whose call holds `heldBytes` until then; `full` is set when
  // the reader must wait for room. The slot stays valid until the writer has taken it.
  Slot& add(std::size_t heldBytes, bool& full);

  // A reply that is ready already. The writer is not woken here but by wakeWriter(), once per
  // block of input, so a burst of quick lines costs one wake-up rather than one per line.
  // Returns whether the reader must wait for room.
  bool addReady(Reply reply, std::size_t lineBytes);

  // Wakes the writer when the front slot is ready.
  void wakeWriter();

  // The call of `slot` is done: from now on the slot holds its reply only.
  void fill(Slot& slot, std::optional<Reply> reply);

  // No more slots will be added.
  void finish();

  // Blocks while the slots are over either limit (the reader, before it reads on). Wakes the
  // writer first: the replies it is to write may not have been announced yet.
  void waitForRoom() override;

  // Whether the slots are over either limit, for a reader that does not block meanwhile; while
  // they are, roomFd() turns readable once they may no longer be. Resets that signal.
  bool stillFull() override;

  // A descriptor (an eventfd) that turns readable when room was made while the reader waited.
  [[nodiscard]] int roomFd() const noexcept override { return roomFd_.get(); }

  // Blocks until the front slot is done and takes it; false once finished and empty.
  bool take(std::optional<Reply>& reply);

 private:
  bool fullLocked() const { return bytes_ > replyBytes_ || slots_.size() > limits_.replies; }
  // Tells a waiting reader that there is room again.
  void signalRoom();

  const ServeLimits limits_;
  // What the replies may hold: the rest is the read-ahead's.
  const std::size_t replyBytes_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Slot> slots_;      // guarded by mutex_
  std::size_t bytes_ = 0;       // guarded by mutex_: the weight of every slot
  bool finished_ = false;       // guarded by mutex_
  bool readerWaiting_ = false;  // guarded by mutex_
  const support::UniqueFd roomFd_;
  // Counts changes that may have made the front ready; read without the lock.
  std::atomic<std::uint64_t> changes_{0};
};

}  // namespace varn::mcp
