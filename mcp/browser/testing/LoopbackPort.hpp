#pragma once

// Loopback ports for tests: one that nothing listens on, and one that is taken by a listener
// that never accepts or answers.

#include <cstdint>
#include <string>

namespace varn::mcp::fakes {

// A port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
[[nodiscard]] std::int64_t unusedLoopbackPort();

// Listens on a free port of 127.0.0.1 and never accepts: connections complete through the
// backlog and then hear nothing. Closed on destruction.
class SilentListener final {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  [[nodiscard]] std::int64_t port() const noexcept { return port_; }

  // Accepts every connection made so far and reads each until its peer hangs up (at most ten
  // seconds each); what they sent, joined.
  [[nodiscard]] std::string received();

 private:
  int fd_ = -1;
  std::int64_t port_ = 0;
};

}  // namespace varn::mcp::fakes
