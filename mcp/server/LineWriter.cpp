#include "mcp/server/LineWriter.hpp"

#include <sys/uio.h>

#include <cerrno>

namespace varn::mcp {

LineWriter::LineWriter(int fd) : fd_(fd) {}

bool LineWriter::write(std::string_view line) {
  static const char kLineFeed = '\n';
  iovec parts[2] = {
      {const_cast<char*>(line.data()), line.size()},
      {const_cast<char*>(&kLineFeed), 1},
  };
  iovec* next = parts;
  int count = 2;
  std::lock_guard lock(mutex_);
  while (count > 0) {
    const ssize_t written = ::writev(fd_, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Skip what went out; a short write resumes inside the part it stopped in.
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
  return true;
}

}  // namespace varn::mcp
