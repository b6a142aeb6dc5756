#include "mcp/secrets/testing/FakeVaultSocket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace varn::mcp::fakes {

TempFolder::TempFolder() {
  char pattern[] = "/tmp/vvXXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

FakeVaultSocket::FakeVaultSocket(const std::string& name) : path_(folder_.file(name)) {
  start();
}

FakeVaultSocket::FakeVaultSocket(Abstract address) : path_(std::move(address.bytes)) {
  start();
}

void FakeVaultSocket::start() {
  if (path_.size() >= sizeof(sockaddr_un::sun_path)) {
    throw std::runtime_error("socket path too long");
  }
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_, 16) != 0) {
    ::close(listener_);
    throw std::runtime_error("bind or listen failed");
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) {
    ::close(listener_);
    throw std::runtime_error("pipe2 failed");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  thread_ = std::thread([this] { serve(); });
}

FakeVaultSocket::~FakeVaultSocket() {
  char stop = 's';
  while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(listener_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void FakeVaultSocket::answer(std::string reply) {
  script(Exchange{std::move(reply), false, {}});
}

void FakeVaultSocket::script(Exchange exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(exchange));
}

std::vector<std::string> FakeVaultSocket::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int FakeVaultSocket::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void FakeVaultSocket::serve() {
  while (true) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    ::close(connection);
  }
}

void FakeVaultSocket::handle(int connection) {
  Exchange exchange;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    if (script_.empty()) return;
    exchange = std::move(script_.front());
    script_.pop_front();
  }
  if (exchange.closeWithoutReading) return;

  std::string request;
  char byte = 0;
  while (true) {
    ssize_t n = ::read(connection, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    request += byte;
    if (byte == '\n') break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  if (exchange.beforeReply) exchange.beforeReply();

  std::size_t sent = 0;
  while (sent < exchange.reply.size()) {
    ssize_t n = ::send(connection, exchange.reply.data() + sent, exchange.reply.size() - sent,
                       MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client stopped reading after its line feed
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace varn::mcp::fakes
