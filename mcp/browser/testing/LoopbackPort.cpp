#include "mcp/browser/testing/LoopbackPort.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace varn::mcp::testing {
namespace {

// A TCP socket bound to 127.0.0.1 at a port the kernel picks; the port is written to `port`.
int boundSocket(std::int64_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

std::int64_t unusedLoopbackPort() {
  std::int64_t port = 0;
  ::close(boundSocket(port));
  return port;
}

SilentListener::SilentListener() {
  fd_ = boundSocket(port_);
  if (::listen(fd_, 16) != 0) {
    ::close(fd_);
    throw std::runtime_error("listen failed");
  }
}

SilentListener::~SilentListener() {
  ::close(fd_);
}

}  // namespace varn::mcp::testing
