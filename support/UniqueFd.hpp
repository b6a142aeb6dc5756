#pragma once

// The one owner of a file descriptor, and a write that gets all of its bytes out.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <utility>

namespace varn::support {

// Owns one descriptor (or none, -1) and closes it on destruction or reset(); an error of close(2)
// is ignored, and close is never retried (on Linux the descriptor is gone even after EINTR).
// Move-only; not thread-safe.
class UniqueFd final {
 public:
  UniqueFd() noexcept = default;
  // Takes `fd` (-1 for none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // The descriptor, still owned; -1 when none.
  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }

  // Hands the descriptor over to the caller, who closes it from now on; -1 when none.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held, if any, and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// What writeAll got out: the bytes written, and the errno that stopped it (0 when every byte went
// out; EIO for a write that took nothing).
struct WriteOutcome {
  std::size_t written = 0;
  int error = 0;
};

// Writes all of `bytes` to `fd`: a short write is continued and EINTR retried, in one write(2)
// when nothing interrupts it.
inline WriteOutcome writeAll(int fd, std::string_view bytes) noexcept {
  WriteOutcome outcome;
  while (outcome.written < bytes.size()) {
    const ssize_t count =
        ::write(fd, bytes.data() + outcome.written, bytes.size() - outcome.written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      outcome.error = count < 0 ? errno : EIO;
      break;
    }
    outcome.written += static_cast<std::size_t>(count);
  }
  return outcome;
}

}  // namespace varn::support
