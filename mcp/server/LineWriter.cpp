#include "mcp/server/LineWriter.hpp"

#include <sys/uio.h>

#include <cerrno>

namespace varn::mcp {

LineWriter::LineWriter(int fd) : fd_(fd) {}

namespace {

const char kLineFeed = '\n';

iovec part(std::string_view bytes) {
  return iovec{const_cast<char*>(bytes.data()), bytes.size()};
}

}  // namespace

bool LineWriter::write(std::string_view line) {
  iovec parts[2] = {part(line), part(std::string_view(&kLineFeed, 1))};
  return writeParts(parts, 2);
}

bool LineWriter::write(std::string_view first, std::string_view second) {
  iovec parts[3] = {part(first), part(second), part(std::string_view(&kLineFeed, 1))};
  return writeParts(parts, 3);
}

bool LineWriter::writeParts(iovec* next, int count) {
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
