#include "support/TcpTable.hpp"

#include <fstream>
#include <sstream>
#include <string>

namespace varn::support {
namespace {

// The port of an "ADDRESS:PORT" field, both in hexadecimal.
bool parsePort(const std::string& field, std::uint16_t& port) {
  const std::size_t colon = field.rfind(':');
  if (colon == std::string::npos) return false;
  try {
    const unsigned long value = std::stoul(field.substr(colon + 1), nullptr, 16);
    if (value > 0xFFFF) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void readTable(const char* path, std::vector<TcpSocket>& out) {
  std::ifstream table(path);
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    TcpSocket socket;
    try {
      socket.state = static_cast<int>(std::stoul(state, nullptr, 16));
      socket.inode = std::stoull(inode);
    } catch (const std::exception&) {
      continue;
    }
    if (parsePort(local, socket.localPort) && parsePort(remote, socket.remotePort)) {
      out.push_back(socket);
    }
  }
}

}  // namespace

std::vector<TcpSocket> tcpSockets() {
  std::vector<TcpSocket> sockets;
  readTable("/proc/net/tcp", sockets);
  readTable("/proc/net/tcp6", sockets);
  return sockets;
}

}  // namespace varn::support
