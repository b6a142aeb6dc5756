#include "tests/support/FakeVault.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/Json.hpp"

namespace varn::tests {

namespace {

// Binds a Unix stream socket at `path`; throws on failure.
int bindUnixSocket(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long for the fake vault");
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int e = errno;
    ::close(fd);
    throw std::runtime_error("bind " + path + ": " + std::strerror(e));
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away; nothing more to tell it
    sent += static_cast<std::size_t>(n);
  }
}

// The text under `key` when the line is a JSON object that has one, else "".
std::string textOf(const std::string& line, const char* key) {
  std::optional<support::Json> parsed = support::parseJson(line);
  if (!parsed || !parsed->is_object()) return "";
  auto found = parsed->find(key);
  if (found == parsed->end() || !found->is_string()) return "";
  return found->get<std::string>();
}

std::string opOf(const std::string& line) {
  return textOf(line, "op");
}

// The key of answers for one reference: op, ref and, for approved resolves, "approved".
std::string refKey(const std::string& op, const std::string& ref, bool approved) {
  return op + "\n" + ref + (approved ? "\napproved" : "");
}

bool isApproved(const std::string& line) {
  std::optional<support::Json> parsed = support::parseJson(line);
  if (!parsed || !parsed->is_object()) return false;
  auto found = parsed->find("approved");
  return found != parsed->end() && found->is_boolean() && found->get<bool>();
}

}  // namespace

void Gate::open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

void Gate::wait() {
  std::unique_lock lock(mutex_);
  opened_.wait(lock, [&] { return open_; });
}

VaultReply VaultReply::line(const std::string& json) {
  return VaultReply{json + "\n", true, {}};
}

VaultReply VaultReply::withoutNewline(const std::string& json) {
  return VaultReply{json, true, {}};
}

VaultReply VaultReply::empty() {
  return VaultReply{"", true, {}};
}

VaultReply VaultReply::bareNewline() {
  return VaultReply{"\n", true, {}};
}

VaultReply VaultReply::errorEnvelope(const std::string& text) {
  return line(support::dumpCompact(support::Json{{"error", text}}));
}

VaultReply VaultReply::withTrailingBytes(const std::string& json, const std::string& trailing) {
  return VaultReply{json + "\n" + trailing, true, {}};
}

VaultReply VaultReply::closeWithoutReading() {
  return VaultReply{"", false, {}};
}

VaultReply VaultReply::heldBy(VaultReply reply, std::shared_ptr<Gate> gate) {
  reply.gate = std::move(gate);
  return reply;
}

FakeVault::FakeVault(std::string socketPath) : path_(std::move(socketPath)) {
  listenFd_ = bindUnixSocket(path_);
  if (::listen(listenFd_, 64) != 0) {
    int e = errno;
    ::close(listenFd_);
    ::unlink(path_.c_str());
    throw std::runtime_error(std::string("listen: ") + std::strerror(e));
  }
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeVault::~FakeVault() {
  std::vector<std::shared_ptr<Gate>> gates;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    gates = gates_;
  }
  // Wakes the blocked accept().
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  for (const auto& gate : gates) gate->open();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    for (int fd : openConnections_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
  ::close(listenFd_);
  ::unlink(path_.c_str());
}

void FakeVault::enqueue(VaultReply reply) {
  std::lock_guard lock(mutex_);
  if (reply.gate) gates_.push_back(reply.gate);
  queue_.push_back(std::move(reply));
}

void FakeVault::answer(const std::string& op, VaultReply reply) {
  std::lock_guard lock(mutex_);
  if (reply.gate) gates_.push_back(reply.gate);
  byOp_.insert_or_assign(op, std::move(reply));
}

void FakeVault::answer(const std::string& op, const std::string& ref, VaultReply reply,
                       bool approved) {
  std::lock_guard lock(mutex_);
  byRef_.insert_or_assign(refKey(op, ref, approved), std::move(reply));
}

std::vector<RecordedRequest> FakeVault::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool FakeVault::waitForRequests(std::size_t count, std::chrono::milliseconds deadline) const {
  std::unique_lock lock(mutex_);
  return recorded_.wait_for(lock, deadline, [&] { return requests_.size() >= count; });
}

std::size_t FakeVault::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void FakeVault::acceptLoop() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ++connections_;
    openConnections_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeVault::serve(int fd) {
  bool fromQueue = false;
  VaultReply reply;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.empty()) {
      reply = std::move(queue_.front());
      queue_.pop_front();
      fromQueue = true;
    }
  }
  if (!fromQueue || reply.readRequest) {
    RecordedRequest request;
    char byte = 0;
    for (;;) {
      ssize_t n = ::read(fd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (byte == '\n') {
        request.endedWithNewline = true;
        break;
      }
      request.line.push_back(byte);
    }
    request.op = opOf(request.line);
    {
      std::lock_guard lock(mutex_);
      if (!fromQueue) reply = replyFor(request);
      requests_.push_back(std::move(request));
    }
    recorded_.notify_all();
    if (reply.gate) reply.gate->wait();
    sendAll(fd, reply.bytes);
  }
  std::lock_guard lock(mutex_);
  openConnections_.erase(std::find(openConnections_.begin(), openConnections_.end(), fd));
  ::close(fd);
}

VaultReply FakeVault::replyFor(const RecordedRequest& request) {
  const std::string& op = request.op;
  const std::string ref = textOf(request.line, "ref");
  for (bool approved : {isApproved(request.line), false}) {
    auto byRef = byRef_.find(refKey(op, ref, approved));
    if (byRef != byRef_.end()) return byRef->second;
  }
  auto found = byOp_.find(op);
  if (found != byOp_.end()) return found->second;
  return VaultReply::errorEnvelope("fake vault: no reply scripted for " + op);
}

UnlistenedSocket::UnlistenedSocket(std::string socketPath) : path_(std::move(socketPath)) {
  fd_ = bindUnixSocket(path_);
}

UnlistenedSocket::~UnlistenedSocket() {
  ::close(fd_);
  ::unlink(path_.c_str());
}

}  // namespace varn::tests
