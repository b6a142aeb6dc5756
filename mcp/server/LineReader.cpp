#include "mcp/server/LineReader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace varn::mcp {
namespace {

constexpr std::size_t kReadBlockBytes = 64 * 1024;
// A line buffer grown beyond this by one long line is released afterwards.
constexpr std::size_t kRetainedLineCapacity = std::size_t{1} << 20;

}  // namespace

void LineReader::run(Sink& sink) {
  std::vector<char> block(kReadBlockBytes);
  // The bytes read so far of a line that spans reads.
  std::string partial;
  // The current line is over the limit: drop it up to its line feed.
  bool discarding = false;
  for (;;) {
    const ssize_t count = ::read(fd_, block.data(), block.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    const char* next = block.data();
    const char* const end = next + count;
    while (next < end) {
      const auto* feed =
          static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
      const char* const stop = feed != nullptr ? feed : end;
      const auto length = static_cast<std::size_t>(stop - next);
      if (!discarding && partial.size() + length > maxLineBytes_) {
        discarding = true;
        std::string().swap(partial);
      }
      if (feed == nullptr) {
        if (!discarding) partial.append(next, length);
        break;
      }
      if (!discarding) {
        if (partial.empty()) {
          sink.line(std::string_view(next, length));
        } else {
          partial.append(next, length);
          sink.line(partial);
          partial.clear();
          if (partial.capacity() > kRetainedLineCapacity) std::string().swap(partial);
        }
      }
      discarding = false;
      next = feed + 1;
    }
    sink.blockEnd();
  }
}

}  // namespace varn::mcp
