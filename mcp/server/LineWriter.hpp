#pragma once

#include <mutex>
#include <string_view>

struct iovec;

namespace varn::mcp {

// Writes whole lines to one output file descriptor that several threads share: the server's
// ordered reply writer and the approval requester. One lock guards every line, so lines never
// interleave. Thread-safe. Does not own the descriptor; it must stay open while the writer is used.
class LineWriter final {
 public:
  explicit LineWriter(int fd);

  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes `line` followed by one line feed under the lock, in one system call (a gathering
  // write, so the line is not copied first); a partial write is continued and EINTR is retried.
  // Blocks while the output is full. A failing output (a closed pipe, say) loses the line: nobody
  // is left to tell. Returns whether the whole line was written.
  bool write(std::string_view line);

  // The same for the line `first` followed directly by `second`, so that a large shared part of a
  // line (a cached result) need not be copied next to its small varying part.
  bool write(std::string_view first, std::string_view second);

 private:
  bool writeParts(iovec* parts, int count);

  int fd_;
  std::mutex mutex_;
};

}  // namespace varn::mcp
