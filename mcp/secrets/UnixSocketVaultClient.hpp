#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/secrets/VaultClient.hpp"

namespace varn::mcp {

// One request and one reply per connection over the vault's Unix-domain socket: a JSON line out,
// a JSON line back (or the bytes up to the peer's close), then the connection is closed.
// Thread-safe and stateless: concurrent calls use separate connections. Blocks until the vault
// replies or closes; sets no timeout of its own.
//
// Throws ToolError::upstream for socket failures ("socket() failed", "socket path too long",
// the app-not-running message, "connect() failed: <errno>", "write() failed", a reply longer than
// kMaxReplyBytes) and, for every operation but resolve and preview, for a reply
// {"error": "<text>"}, with the vault's text.
// Decoding failures of a reply are support::JsonDecodeError and pass through unchanged.
class UnixSocketVaultClient final : public VaultClient {
 public:
  // Paths of this many UTF-8 bytes or more are refused without connecting.
  static constexpr std::size_t kMaxSocketPathBytes = 104;
  // The longest reply read, before its line feed (as for the sync server's replies): 64 MiB.
  static constexpr std::size_t kMaxReplyBytes = std::size_t{64} << 20;

  // Uses `socketPath` as given: no tilde expansion or other normalising. An empty path, or one
  // holding a zero byte, is never connected to (on Linux it would name the abstract namespace or
  // a shorter path); it fails as app-not-running.
  explicit UnixSocketVaultClient(std::string socketPath);

  // The socket inside the desktop application's sandbox container, with "~" expanded to the
  // user's home folder. Computed once, on first use; thread-safe.
  static const std::string& containerPath();
  // The socket outside the container, "~/Library/Application Support/Varn/varn.sock" expanded.
  // Computed once, on first use; thread-safe.
  static const std::string& plainPath();
  // containerPath() if anything exists there, else plainPath() if anything exists there, else
  // containerPath(). Tests the file system on every call.
  [[nodiscard]] static std::string defaultPath();

  VaultResponse resolve(std::string_view ref, bool approved) override;
  VaultResponse preview(std::string_view ref) override;
  std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                   const std::optional<std::string>& query) override;
  // Capture and the management operations: the vault's error envelope is tried first.
  support::Json manage(const VaultRequest& request) override;

 private:
  // One exchange on a new connection: writes the encoded request and its line feed, returns the
  // reply bytes before the first line feed (or up to the peer's close).
  [[nodiscard]] std::string exchange(const VaultRequest& request) const;
  // exchange(), then (when `tryEnvelope`) the vault's error envelope, then the reply parsed as
  // JSON for the caller's record decoder. Throws support::JsonDecodeError for a reply that is not
  // JSON, an empty one included.
  [[nodiscard]] support::Json send(const VaultRequest& request, bool tryEnvelope) const;

  std::string socketPath_;
};

}  // namespace varn::mcp
