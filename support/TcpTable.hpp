#pragma once

// The TCP sockets of this network namespace, as /proc/net/tcp and /proc/net/tcp6 list them, and
// the processes that hold them.

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
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
  // The local address as text: "127.0.0.1", "0.0.0.0", "::1", "::", ...
  std::string localAddress;

  bool operator==(const TcpSocket&) const = default;
};

inline constexpr int kTcpEstablished = 1;
inline constexpr int kTcpListen = 10;

// Every IPv4 and IPv6 TCP socket listed now; lines that do not parse are skipped, and a table
// that cannot be read lists nothing. Thread-safe.
[[nodiscard]] std::vector<TcpSocket> tcpSockets();

// The processes whose parent is `pid` (from /proc/<pid>/task/*/children), sorted; none when it
// is gone. Thread-safe.
[[nodiscard]] std::vector<pid_t> childrenOf(pid_t pid);

// `root` and every process below it, as /proc shows them now. Thread-safe.
[[nodiscard]] std::vector<pid_t> processTree(pid_t root);

// The inodes of the sockets that `processes` hold as descriptors now; a process or descriptor
// that cannot be read adds nothing. Thread-safe.
[[nodiscard]] std::set<std::uint64_t> socketInodesOf(const std::vector<pid_t>& processes);

}  // namespace varn::support
