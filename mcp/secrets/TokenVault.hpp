#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/ResolvedSecret.hpp"
#include "mcp/secrets/WallClock.hpp"

namespace varn::mcp {

// A freshly minted handle and the first instant (wall-clock seconds since 1970) at which it is no
// longer valid.
struct MintedHandle {
  std::string handle;
  double expiresAt;

  bool operator==(const MintedHandle&) const = default;
};

// The in-memory store of minted handles: "varnh_" followed by an upper-case random UUID (42
// characters), each standing for a released value with its bindings until it expires. A handle is
// live while its expiry is strictly later than the time of the lookup; it may be redeemed any
// number of times. Handles die with the process; nothing is persisted.
//
// Each mint first purges the handles that have expired by then and wipes their values, so values
// do not outlive their handles in memory; lookups cannot tell a purged handle from an expired one.
//
// Thread-safe: every operation runs alone under the store's lock. Never blocks on I/O.
class TokenVault final {
 public:
  static constexpr const char* kHandlePrefix = "varnh_";

  // `clock` is read by mint for the expiry and the purge.
  explicit TokenVault(WallClock clock = systemWallClock);
  ~TokenVault();

  TokenVault(const TokenVault&) = delete;
  TokenVault& operator=(const TokenVault&) = delete;

  // Stores `value` and its bindings under a new handle expiring `ttlSeconds` from now (computed in
  // double seconds, so any 64-bit ttl works; zero or negative gives a handle already expired), but
  // never later than `notAfter` when given (the expiry of the handle the value was redeemed from).
  // `scope` is kept and never consulted. Never fails.
  [[nodiscard]] MintedHandle mint(std::string value, std::string scope, std::int64_t ttlSeconds,
                                  std::optional<std::vector<std::string>> allowedHosts,
                                  std::optional<std::vector<std::string>> allowedCommands,
                                  std::optional<double> notAfter = std::nullopt);

  // The value of the handle stored under exactly `handle` (case-sensitive) when it is live at
  // `now`; nothing otherwise.
  [[nodiscard]] std::optional<std::string> value(const std::string& handle, double now) const;

  // The value, bindings and expiry of the handle stored under exactly `handle` when it is live at
  // `now`; nothing otherwise. This is the lookup of the resolve road.
  [[nodiscard]] std::optional<ResolvedSecret> secret(const std::string& handle, double now) const;

  // Number of entries held: live ones and expired ones not yet purged by a mint.
  [[nodiscard]] std::size_t size() const;

 private:
  struct Entry {
    std::string value;
    std::string scope;
    double expiresAt;
    std::optional<std::vector<std::string>> allowedHosts;
    std::optional<std::vector<std::string>> allowedCommands;
  };

  const Entry* findLive(const std::string& handle, double now) const;  // requires mutex_
  void purgeExpired(double now);                                       // requires mutex_

  const WallClock clock_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;  // guarded by mutex_
};

}  // namespace varn::mcp
