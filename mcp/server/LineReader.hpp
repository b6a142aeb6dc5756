#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varn::mcp {

// Splits what arrives on an input file descriptor into lines ended by a line feed and hands each
// to a sink, in order, on the calling thread. Lines longer than a limit are dropped unread, up to
// their line feed; a partial last line without a line feed is never handed over. Does not own the
// descriptor. Not thread-safe: one thread runs it.
//
// The sink may ask for a pause after a line (too much in flight). While paused, the reader reads
// ahead, up to a budget of its own, and offers each line read ahead to the sink, which may take
// it at once (an answer that lets the pause end); the lines it leaves are handed over in their
// order once the pause is over. Past the budget the reader waits without reading.
class LineReader final {
 public:
  // What the reader hands its lines to.
  class Sink {
   public:
    virtual ~Sink() = default;
    // One complete line, without its line feed; the view is valid only during the call. May
    // block. Returns whether reading is to pause.
    virtual bool line(std::string_view line) = 0;
    // Every line of one read has been handed over; the reader may now wait for more input.
    virtual void blockEnd() = 0;
    // While paused: a line read ahead, of at most kMaxAheadLineBytes. Returns true when the sink
    // took it now (it is then never handed to line()). Must not block.
    virtual bool takeAhead(std::string_view line) = 0;
    // While paused: whether the pause goes on. Resets the signal on roomFd().
    virtual bool stillFull() = 0;
    // A descriptor that turns readable when the pause may be over.
    virtual int roomFd() = 0;
    // Blocks until the pause is over.
    virtual void waitForRoom() = 0;
    // No more input will come (end of input or a read error); called once, possibly during a
    // pause, before the lines read ahead are handed over.
    virtual void ended() = 0;
  };

  // Lines read ahead longer than this are never offered to takeAhead(): an answer is short.
  static constexpr std::size_t kMaxAheadLineBytes = std::size_t{64} << 10;

  // `maxLineBytes` is the longest line handed over, in bytes before its line feed; `aheadBytes`
  // the most a pause reads ahead.
  LineReader(int fd, std::size_t maxLineBytes, std::size_t aheadBytes);

  // Reads until end of input or a read error (EINTR is retried), handing every line to `sink`.
  void run(Sink& sink);

 private:
  // Hands over the lines of `bytes`, keeping a partial last line for the next bytes.
  void split(Sink& sink, std::string_view bytes);
  // The pause after a line, with `rest` the bytes read after it.
  void pause(Sink& sink, std::string_view rest);
  // Offers the complete lines read ahead from `scanned` on to the sink, removes those it takes,
  // and returns where the next unscanned line starts.
  std::size_t offerAhead(Sink& sink, std::size_t scanned);
  // One read into block_: its byte count, 0 at the end of input or on a read error.
  std::size_t readBlock();
  void end(Sink& sink);

  int fd_;
  std::size_t maxLineBytes_;
  std::size_t aheadBytes_;
  std::vector<char> block_;
  // The bytes read so far of a line that spans reads.
  std::string partial_;
  // The current line is over the limit: drop it up to its line feed.
  bool discarding_ = false;
  // Bytes read during a pause and not yet handed over.
  std::string ahead_;
  bool ended_ = false;
};

}  // namespace varn::mcp
