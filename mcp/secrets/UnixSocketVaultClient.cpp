#include "mcp/secrets/UnixSocketVaultClient.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "mcp/secrets/ToolError.hpp"
#include "support/Paths.hpp"
#include "support/UniqueFd.hpp"

namespace varn::mcp {
namespace {

using support::Json;

using support::UniqueFd;

std::string appNotRunning(const std::string& path) {
  return "the Varn app isn't running (no vault socket at " + path +
         ") \u2014 open Varn, unlock the vault, then retry";
}

void connectTo(const UniqueFd& socket, const std::string& path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= UnixSocketVaultClient::kMaxSocketPathBytes) {
    throw ToolError::upstream("socket path too long");
  }
  // With no path bytes the zero-filled address would name Linux's abstract namespace, which any
  // local process can claim; a path holding a zero byte names no file either (the kernel would
  // cut it short). Neither is ever connected to.
  if (path.empty() || path.find('\0') != std::string::npos) {
    throw ToolError::upstream(appNotRunning(path));
  }
  static_assert(sizeof(address.sun_path) > UnixSocketVaultClient::kMaxSocketPathBytes - 1);
  std::memcpy(address.sun_path, path.data(), path.size());

  int rc;
  do {
    rc = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return;
  int error = errno;
  if (error == ENOENT || error == ECONNREFUSED) throw ToolError::upstream(appNotRunning(path));
  throw ToolError::upstream("connect() failed: " + std::to_string(error));
}

void writeAll(const UniqueFd& socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(socket.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError::upstream("write() failed");
    sent += static_cast<std::size_t>(n);
  }
}

// The reply: every byte before the first line feed, or up to the end of the stream. A read error
// ends the reply like the end of the stream does. Bytes after the line feed are ignored. A reply
// longer than kMaxReplyBytes is refused as soon as it is: nothing is read beyond that.
std::string readReply(const UniqueFd& socket) {
  constexpr std::size_t kMax = UnixSocketVaultClient::kMaxReplyBytes;
  std::string reply;
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(socket.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return reply;
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    std::size_t lineFeed = chunk.find('\n');
    chunk = chunk.substr(0, lineFeed);
    if (chunk.size() > kMax - reply.size()) {
      throw ToolError::upstream("the vault reply is longer than " + std::to_string(kMax) +
                                " bytes");
    }
    reply.append(chunk);
    if (lineFeed != std::string_view::npos) return reply;
  }
}

// The vault's error envelope: a JSON object with a text member "error", whatever else it holds.
std::optional<std::string> envelopeError(std::string_view reply) {
  std::optional<Json> value = support::parseJson(reply);
  if (!value || !value->is_object()) return std::nullopt;
  auto it = value->find("error");
  if (it == value->end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

VaultRequest requestFor(VaultRequest::Op op) {
  VaultRequest request;
  request.op = op;
  return request;
}

}  // namespace

UnixSocketVaultClient::UnixSocketVaultClient(std::string socketPath)
    : socketPath_(std::move(socketPath)) {}

const std::string& UnixSocketVaultClient::containerPath() {
  static const std::string path = support::expandTilde(
      "~/Library/Containers/com.kelvane.varn/Data/Library/Application Support/Varn/varn.sock");
  return path;
}

const std::string& UnixSocketVaultClient::plainPath() {
  static const std::string path =
      support::expandTilde("~/Library/Application Support/Varn/varn.sock");
  return path;
}

std::string UnixSocketVaultClient::defaultPath() {
  const std::string& container = containerPath();
  const std::string& plain = plainPath();
  if (support::pathExists(container)) return container;
  if (support::pathExists(plain)) return plain;
  return container;
}

std::string UnixSocketVaultClient::exchange(const VaultRequest& request) const {
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) throw ToolError::upstream("socket() failed");
  connectTo(socket, socketPath_);
  // The request's JSON is gone before the write, and the line feed goes into the same text: a
  // request that carries a large value is held once as a record and once as text.
  std::string line = support::dumpEscapingSlashes(request.toJson());
  line.push_back('\n');
  writeAll(socket, line);
  return readReply(socket);
}

Json UnixSocketVaultClient::send(const VaultRequest& request, bool tryEnvelope) const {
  std::string reply = exchange(request);
  if (tryEnvelope) {
    if (std::optional<std::string> error = envelopeError(reply)) {
      throw ToolError::upstream(std::move(*error));
    }
  }
  return support::parseJsonOrThrow(reply);
}

VaultResponse UnixSocketVaultClient::resolve(std::string_view ref, bool approved) {
  VaultRequest request = requestFor(VaultRequest::Op::resolve);
  request.ref = std::string(ref);
  request.approved = approved;
  return VaultResponse::fromJson(send(request, false));
}

VaultResponse UnixSocketVaultClient::preview(std::string_view ref) {
  VaultRequest request = requestFor(VaultRequest::Op::preview);
  request.ref = std::string(ref);
  return VaultResponse::fromJson(send(request, false));
}

std::vector<VaultListEntry> UnixSocketVaultClient::list(
    const std::optional<std::string>& collection, const std::optional<std::string>& query) {
  VaultRequest request = requestFor(VaultRequest::Op::list);
  request.collection = collection;
  request.query = query;
  return VaultListEntry::listFromJson(send(request, true));
}

Json UnixSocketVaultClient::manage(const VaultRequest& request) {
  return send(request, true);
}

}  // namespace varn::mcp
