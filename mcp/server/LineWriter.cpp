#include "mcp/server/LineWriter.hpp"

#include <unistd.h>

#include <cerrno>

namespace varn::mcp {
namespace {

// Buffer capacity kept between lines; a larger one (after a huge reply) is released.
constexpr std::size_t kRetainedCapacity = std::size_t{1} << 20;

}  // namespace

LineWriter::LineWriter(int fd) : fd_(fd) {}

bool LineWriter::write(std::string_view line) {
  std::lock_guard lock(mutex_);
  buffer_.clear();
  buffer_.reserve(line.size() + 1);
  buffer_.append(line);
  buffer_.push_back('\n');
  const char* data = buffer_.data();
  std::size_t left = buffer_.size();
  while (left > 0) {
    ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  if (buffer_.capacity() > kRetainedCapacity) std::string().swap(buffer_);
  return true;
}

}  // namespace varn::mcp
