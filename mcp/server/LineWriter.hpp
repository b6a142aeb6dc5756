#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace varn::mcp {

// Writes whole lines to one output file descriptor that several threads share: the server's
// ordered reply writer and the approval requester. One lock guards every line, so lines never
// interleave. Thread-safe. Does not own the descriptor; it must stay open while the writer is used.
class LineWriter final {
 public:
  explicit LineWriter(int fd);

  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes `line` followed by one line feed with a single write() call under the lock; a partial
  // write is continued and EINTR is retried. Blocks while the output is full. A failing output (a
  // closed pipe, for example) loses the line silently: nobody is left to tell. Returns whether the
  // whole line was written.
  bool write(std::string_view line);

 private:
  int fd_;
  std::mutex mutex_;
  std::string buffer_;  // guarded by mutex_; the line and its LF, reused between lines
};

}  // namespace varn::mcp
