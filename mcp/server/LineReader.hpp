#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string_view>

namespace varn::mcp {

// Splits what arrives on an input file descriptor into lines ended by a line feed and hands each
// to a consumer, in order, on the calling thread. Lines longer than a limit are dropped unread, up
// to their line feed; a partial last line without a line feed is never handed over. Does not own
// the descriptor. Not thread-safe: one thread runs it.
//
// The consumer may ask for a pause after a line (too much in flight). While paused, the reader
// reads ahead, up to a budget of its own, and offers each line read ahead to the consumer once,
// which may take it at once (an answer that lets the pause end); the lines it leaves are handed
// over in their order once the pause is over. Past the budget the reader reads no more, but still
// sees the input end: then it reads what is left (no more than the pipe or socket holds), offers
// it, and tells the consumer that input ended, so that nothing waits for an answer that cannot
// come.
//
// One buffer holds the partial line and what is read ahead. Its address space is reserved once,
// at its full size (the larger of the line limit and the budget, with room to read into), and
// memory is taken only as bytes are read into it: lines of a few kilobytes use its first blocks
// only. Once every byte read was handed over, the memory a long line or a pause took goes back to
// the system. Every byte is searched for its line feed once, and the buffer's bytes move only to
// make room, once as many were handed over since the last move as are left (or, at the buffer's
// end, a quarter of the budget).
class LineReader final {
 public:
  // What the reader hands its lines to.
  class Consumer {
   public:
    virtual ~Consumer() = default;
    // One complete line, without its line feed; the view is valid only during the call. May
    // block. Returns whether reading is to pause.
    virtual bool line(std::string_view line) = 0;
    // Every line read so far has been handed over; the reader may now wait for more input.
    virtual void blockEnd() = 0;
    // While paused: a line read ahead (offered once). Returns true when the consumer took it now
    // (it is then never handed to line()). Must not block.
    virtual bool takeAhead(std::string_view line) = 0;
    // No more input will come (end of input or a read error); called once, possibly during a
    // pause, after the lines read ahead were offered and before they are handed over.
    virtual void ended() = 0;
  };

  // What tells a paused reader when it may go on (MCPServer's reply queue).
  class BackPressure {
   public:
    virtual ~BackPressure() = default;
    // Whether the pause goes on. Resets the signal on roomFd().
    virtual bool stillFull() = 0;
    // A descriptor that turns readable when the pause may be over.
    [[nodiscard]] virtual int roomFd() const noexcept = 0;
    // Blocks until the pause is over.
    virtual void waitForRoom() = 0;
  };

  // `maxLineBytes` is the longest line handed over, in bytes before its line feed; `aheadBytes`
  // the most a pause reads ahead (the lines not yet handed over, partial last line included).
  // Throws std::bad_alloc when the buffer's address space cannot be reserved.
  LineReader(int fd, std::size_t maxLineBytes, std::size_t aheadBytes);

  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads until end of input or a read error (EINTR is retried), handing every line to
  // `consumer` and pausing as `consumer` asks until `pressure` has room.
  void run(Consumer& consumer, BackPressure& pressure);

 private:
  // A line taken while read ahead: bytes [start, end] (its line feed included) are skipped.
  struct Taken {
    std::size_t start;
    std::size_t end;
  };

  // Hands over the complete lines from begin_ on; returns true when the consumer asked for a
  // pause (after the line that asked).
  bool handOver(Consumer& consumer);
  // The pause after a line: reads ahead and offers what it reads until `pressure` has room.
  void pause(Consumer& consumer, BackPressure& pressure);
  // Offers the complete lines from offered_ on, each once.
  void offerAhead(Consumer& consumer);
  // Reads once into the buffer's end: the byte count, 0 at the end of input or on a read error.
  std::size_t readMore();
  // Makes room for one read at the buffer's end.
  void makeRoom();
  // Moves the bytes not handed over yet to the buffer's start.
  void moveDown();
  // Gives the memory of the pages past the bytes in use back to the system, but for the first
  // blocks, which every line reuses.
  void release();
  void end(Consumer& consumer);

  // Unmaps the buffer.
  struct Unmap {
    std::size_t bytes;
    void operator()(char* pages) const noexcept;
  };

  const int fd_;
  const std::size_t maxLineBytes_;
  const std::size_t aheadBytes_;
  // Left free between the budget and the buffer's end, so that moving the bytes down happens
  // only after this many were handed over.
  const std::size_t slack_;
  // Bytes [begin_, end_) of buf_ are read and not handed over yet; no line feed stands in
  // [begin_, searched_); the lines before offered_ were offered ahead already. The pages below
  // touched_ may hold memory.
  std::unique_ptr<char, Unmap> buf_;
  std::size_t capacity_;
  std::size_t touched_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t searched_ = 0;
  std::size_t offered_ = 0;
  std::deque<Taken> taken_;  // in order
  // The current line is over the limit: drop it up to its line feed.
  bool discarding_ = false;
  bool ended_ = false;
};

}  // namespace varn::mcp
