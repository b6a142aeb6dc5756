#pragma once

// The one owner of a file descriptor.

#include <unistd.h>

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

}  // namespace varn::support
