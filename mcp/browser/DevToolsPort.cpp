#include "mcp/browser/DevToolsPort.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <thread>

#include "support/TcpTable.hpp"
#include "support/UniqueFd.hpp"

namespace varn::mcp {
namespace {

// How often heldBy() looks for the browser's listener.
constexpr std::chrono::milliseconds kPollInterval{10};

}  // namespace

bool DevToolsPort::inUse(std::int64_t port) {
  const support::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd writable{fd.get(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof(error);
    int ready = -1;
    do {
      ready = ::poll(&writable, 1, 1000);
    } while (ready < 0 && errno == EINTR);
    connected = ready == 1 && ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0;
  }
  return connected;
}

bool DevToolsPort::heldBy(pid_t browser, std::int64_t port, const CDPConnection& pipe,
                          std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // The table first: a socket of the browser listed there is among its descriptors read after.
    const std::vector<support::TcpSocket> sockets = support::tcpSockets();
    const std::set<std::uint64_t> held = support::socketInodesOf(support::processTree(browser));
    bool listening = false;
    for (const support::TcpSocket& socket : sockets) {
      if (socket.state != support::kTcpListen || socket.localPort != port) continue;
      if (!held.contains(socket.inode)) return false;
      listening = listening || socket.localAddress == "127.0.0.1";
    }
    if (listening) return true;
    if (pipe.ended() || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool DevToolsPort::clientConnected(std::int64_t port) {
  for (const support::TcpSocket& socket : support::tcpSockets()) {
    if (socket.state == support::kTcpEstablished && socket.localPort == port) return true;
  }
  return false;
}

}  // namespace varn::mcp
