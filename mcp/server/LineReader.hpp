#pragma once

#include <cstddef>
#include <string_view>

namespace varn::mcp {

// Splits what arrives on an input file descriptor into lines ended by a line feed and hands each
// to a sink, in order, on the calling thread. Lines longer than a limit are dropped unread, up to
// their line feed; a partial last line without a line feed is never handed over. Does not own the
// descriptor. Not thread-safe: one thread runs it.
class LineReader final {
 public:
  // What the reader hands its lines to.
  class Sink {
   public:
    virtual ~Sink() = default;
    // One complete line, without its line feed; the view is valid only during the call. May block
    // (reading waits meanwhile).
    virtual void line(std::string_view line) = 0;
    // Every line of one read has been handed over; the reader may now wait for more input.
    virtual void blockEnd() = 0;
  };

  // `maxLineBytes` is the longest line handed over, in bytes before its line feed.
  LineReader(int fd, std::size_t maxLineBytes) : fd_(fd), maxLineBytes_(maxLineBytes) {}

  // Reads until end of input or a read error (EINTR is retried), handing every line to `sink`.
  void run(Sink& sink);

 private:
  int fd_;
  std::size_t maxLineBytes_;
};

}  // namespace varn::mcp
