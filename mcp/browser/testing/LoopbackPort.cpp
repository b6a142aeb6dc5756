#include "mcp/browser/testing/LoopbackPort.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace varn::mcp::fakes {
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
  // received() takes what has come without waiting for more.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (::listen(fd_, 16) != 0) {
    ::close(fd_);
    throw std::runtime_error("listen failed");
  }
}

SilentListener::~SilentListener() {
  ::close(fd_);
}

std::string SilentListener::received() {
  std::string bytes;
  for (;;) {
    const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (peer < 0) return bytes;
    for (;;) {
      pollfd readable{peer, POLLIN, 0};
      if (::poll(&readable, 1, 10000) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(peer, buffer, sizeof buffer);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(peer);
  }
}

PortImpostorWrapper::PortImpostorWrapper(const std::string& folder, std::int64_t port,
                                         const std::string& browser)
    : path_(folder + "/impostor-browser"), log_(folder + "/impostor.log") {
  const std::string impostor =
      std::string(VARN_SOURCE_DIR) + "/mcp/browser/testing/port-impostor.py";
  std::ofstream(path_) << "#!/bin/sh\n"
                       << impostor << " " << port << " " << log_ << " || exit 1\nexec " << browser
                       << " \"$@\"\n";
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
}

PortImpostorWrapper::~PortImpostorWrapper() {
  std::ifstream pid(log_ + ".pid");
  pid_t impostor = 0;
  if (pid >> impostor && impostor > 0) ::kill(impostor, SIGKILL);
}

bool PortImpostorWrapper::ran() const {
  return std::filesystem::exists(log_ + ".pid");
}

std::string PortImpostorWrapper::received() const {
  std::ifstream in(log_);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace varn::mcp::fakes
