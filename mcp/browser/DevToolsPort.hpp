#pragma once

// The DevTools port on 127.0.0.1 that the operator may ask the browser to open beside its pipe.

#include <sys/types.h>

#include <chrono>
#include <cstdint>

#include "mcp/browser/CDPConnection.hpp"

namespace varn::mcp {

// What the TCP table says about the port. The server never writes to it. Only static functions;
// thread-safe.
class DevToolsPort final {
 public:
  DevToolsPort() = delete;

  // Whether something already accepts connections on 127.0.0.1:<port> (a connection is made and
  // closed without a byte; at most a second's wait).
  [[nodiscard]] static bool inUse(std::int64_t port);

  // Whether `browser` (or a process below it) holds the listening socket on 127.0.0.1:<port> and
  // nothing else listens on that port, so that a DevTools client on the port reaches the browser
  // and no other program. The browser binds the port on a thread of its own, not before it
  // answers over its pipe: this waits up to `timeout` for it, and gives up at once when another
  // process listens there or `pipe` has ended (a stop() meanwhile).
  [[nodiscard]] static bool heldBy(pid_t browser, std::int64_t port, const CDPConnection& pipe,
                                   std::chrono::milliseconds timeout);

  // Whether a client is connected to the port now (an established TCP connection on it).
  [[nodiscard]] static bool clientConnected(std::int64_t port);
};

}  // namespace varn::mcp
