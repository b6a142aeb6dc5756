#pragma once

// Loopback ports for tests: one that nothing listens on, one that is taken by a listener that
// never accepts or answers, and one that a browser's wrapper lets an impostor take.

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

// The executable "<folder>/impostor-browser": it runs port-impostor.py (beside this kit), which
// takes 127.0.0.1:<port> in a process outside the browser's tree, then execs `browser` with its
// arguments. So the impostor wins the port after the manager's check and before the browser's
// own bind. The impostor is ended by its pid on destruction.
class PortImpostorWrapper final {
 public:
  PortImpostorWrapper(const std::string& folder, std::int64_t port, const std::string& browser);
  ~PortImpostorWrapper();
  PortImpostorWrapper(const PortImpostorWrapper&) = delete;
  PortImpostorWrapper& operator=(const PortImpostorWrapper&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // Whether the impostor ran; what every client sent it so far, joined.
  [[nodiscard]] bool ran() const;
  [[nodiscard]] std::string received() const;

 private:
  std::string path_;
  std::string log_;
};

}  // namespace varn::mcp::fakes
