#include "mcp/tools/testing/LocalHttpServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

#include "support/Ascii.hpp"

namespace varn::mcp::fakes {
namespace {

// Reads more bytes into `buffer`; false at end of input or on error.
bool readMore(int fd, std::string& buffer) {
  std::array<char, 65536> chunk{};
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer.append(chunk.data(), static_cast<std::size_t>(n));
    return true;
  }
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away (for example after cutting a reply off)
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

LocalHttpServer::Request parseHead(std::string_view head) {
  LocalHttpServer::Request request;
  std::size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  std::size_t firstSpace = requestLine.find(' ');
  std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  request.method = std::string(requestLine.substr(0, firstSpace));
  request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
  std::size_t at = lineEnd + 2;
  while (at < head.size()) {
    std::size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(at, end - at);
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    at = end + 2;
  }
  return request;
}

}  // namespace

std::optional<std::string> LocalHttpServer::Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (support::equalsIgnoringAsciiCase(key, name)) return value;
  }
  return std::nullopt;
}

LocalHttpServer::LocalHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // a free port, chosen by the system
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    ::close(listener_);
    throw std::runtime_error("bind or listen failed");
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  std::array<int, 2> stop{};
  if (::pipe2(stop.data(), O_CLOEXEC) != 0) {
    ::close(listener_);
    throw std::runtime_error("pipe failed");
  }
  stopRead_ = stop[0];
  stopWrite_ = stop[1];
  thread_ = std::thread([this] { serve(); });
}

LocalHttpServer::~LocalHttpServer() {
  char byte = 1;
  while (::write(stopWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(listener_);
  ::close(stopRead_);
  ::close(stopWrite_);
}

std::string LocalHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<LocalHttpServer::Request> LocalHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::string LocalHttpServer::reply(int status,
                                   const std::vector<std::pair<std::string, std::string>>& headers,
                                   std::string_view body, bool withBody) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  if (withBody) out.append(body);
  return out;
}

void LocalHttpServer::serve() {
  std::array<pollfd, 2> polls{pollfd{listener_, POLLIN, 0}, pollfd{stopRead_, POLLIN, 0}};
  for (;;) {
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (polls[1].revents != 0) return;
    if (polls[0].revents == 0) continue;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    ::close(connection);
  }
}

void LocalHttpServer::handle(int connection) {
  std::string buffer;
  std::size_t headEnd;
  while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!readMore(connection, buffer)) return;
  }
  Request request = parseHead(std::string_view(buffer).substr(0, headEnd));
  std::size_t bodyLength = 0;
  if (auto length = request.header("Content-Length")) bodyLength = std::stoul(*length);
  while (buffer.size() < headEnd + 4 + bodyLength) {
    if (!readMore(connection, buffer)) break;
  }
  request.body = buffer.substr(headEnd + 4, bodyLength);
  request.raw = buffer;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  writeAll(connection, handler_(request));
  ::shutdown(connection, SHUT_WR);
}

}  // namespace varn::mcp::fakes
