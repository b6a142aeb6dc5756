#pragma once

// The TCP sockets of this network namespace, as /proc/net/tcp and /proc/net/tcp6 list them.

#include <cstdint>
#include <vector>

namespace varn::support {

// One socket of the kernel's table.
struct TcpSocket {
  std::uint16_t localPort = 0;
  std::uint16_t remotePort = 0;
  // The kernel's state number: kTcpEstablished, kTcpListen, ...
  int state = 0;
  // The socket's inode, as /proc/<pid>/fd shows it in "socket:[<inode>]".
  std::uint64_t inode = 0;

  bool operator==(const TcpSocket&) const = default;
};

inline constexpr int kTcpEstablished = 1;
inline constexpr int kTcpListen = 10;

// Every IPv4 and IPv6 TCP socket listed now; lines that do not parse are skipped, and a table
// that cannot be read lists nothing. Thread-safe.
[[nodiscard]] std::vector<TcpSocket> tcpSockets();

}  // namespace varn::support
