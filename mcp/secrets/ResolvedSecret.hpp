#pragma once

#include <optional>
#include <string>
#include <vector>

namespace varn::mcp {

// A secret value released by the resolve road, with the credential's bindings as the vault (or the
// minted handle) gave them. The calling tool enforces the bindings and never returns `value` in a
// tool result. An absent binding means the credential has no such binding.
struct ResolvedSecret {
  std::string value;  // may be empty
  std::optional<std::vector<std::string>> allowedHosts;
  std::optional<std::vector<std::string>> allowedCommands;
  // Set when the value was redeemed from a minted handle: that handle's expiry (wall-clock seconds
  // since 1970), which a handle minted from this one may not outlive.
  std::optional<double> expiresAt = std::nullopt;

  bool operator==(const ResolvedSecret&) const = default;
};

}  // namespace varn::mcp
