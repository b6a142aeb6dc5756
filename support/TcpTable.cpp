#include "support/TcpTable.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
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

// The address of an "ADDRESS:PORT" field: 8 or 32 hexadecimal digits, each group of 8 a 32-bit
// word as the kernel holds it in memory.
bool parseAddress(const std::string& field, std::string& address) {
  const std::string hex = field.substr(0, field.rfind(':'));
  if (hex.size() != 8 && hex.size() != 32) return false;
  std::array<unsigned char, 16> bytes{};
  for (std::size_t word = 0; word * 8 < hex.size(); ++word) {
    std::uint32_t value = 0;
    try {
      std::size_t used = 0;
      value = static_cast<std::uint32_t>(std::stoul(hex.substr(word * 8, 8), &used, 16));
      if (used != 8) return false;
    } catch (const std::exception&) {
      return false;
    }
    std::memcpy(bytes.data() + word * 4, &value, sizeof value);
  }
  const int family = hex.size() == 8 ? AF_INET : AF_INET6;
  char text[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(family, bytes.data(), text, sizeof text) == nullptr) return false;
  address = text;
  return true;
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
    if (parsePort(local, socket.localPort) && parsePort(remote, socket.remotePort) &&
        parseAddress(local, socket.localAddress)) {
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

std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream list(task.path() / "children");
    pid_t child = 0;
    while (list >> child) children.push_back(child);
  }
  std::sort(children.begin(), children.end());
  children.erase(std::unique(children.begin(), children.end()), children.end());
  return children;
}

std::vector<pid_t> processTree(pid_t root) {
  std::vector<pid_t> tree{root};
  for (std::size_t i = 0; i < tree.size(); ++i) {
    for (pid_t child : childrenOf(tree[i])) tree.push_back(child);
  }
  return tree;
}

std::set<std::uint64_t> socketInodesOf(const std::vector<pid_t>& processes) {
  std::set<std::uint64_t> inodes;
  for (pid_t pid : processes) {
    std::error_code error;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
      std::error_code unreadable;
      const std::string target = std::filesystem::read_symlink(fd.path(), unreadable).string();
      if (!target.starts_with("socket:[")) continue;
      try {
        inodes.insert(std::stoull(target.substr(8)));
      } catch (const std::exception&) {
      }
    }
  }
  return inodes;
}

}  // namespace varn::support
