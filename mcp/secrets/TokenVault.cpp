#include "mcp/secrets/TokenVault.hpp"

#include "support/Utf8.hpp"
#include "support/Uuid.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
TokenVault::TokenVault(WallClock clock) : clock_(std::move(clock)) {}

TokenVault::~TokenVault() {
  for (auto& [handle, entry] : entries_) support::wipe(entry.value);
}

MintedHandle TokenVault::mint(std::string value, std::string scope, std::int64_t ttlSeconds,
                              std::optional<std::vector<std::string>> allowedHosts,
                              std::optional<std::vector<std::string>> allowedCommands,
                              std::optional<double> notAfter) {
  std::string handle = kHandlePrefix + support::randomUUID();
  std::lock_guard<std::mutex> lock(mutex_);
  const double now = clock_();
  purgeExpired(now);
  double expiresAt = now + static_cast<double>(ttlSeconds);
  if (notAfter && *notAfter < expiresAt) expiresAt = *notAfter;
  Entry& entry = entries_[handle];
  support::wipe(entry.value);  // an entry under the same text is replaced and leaves no copy behind
  entry = Entry{std::move(value), std::move(scope), expiresAt, std::move(allowedHosts),
                std::move(allowedCommands)};
  return MintedHandle{std::move(handle), expiresAt};
}

std::optional<std::string> TokenVault::value(const std::string& handle, double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Entry* entry = findLive(handle, now);
  if (entry == nullptr) return std::nullopt;
  return entry->value;
}

std::optional<ResolvedSecret> TokenVault::secret(const std::string& handle, double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Entry* entry = findLive(handle, now);
  if (entry == nullptr) return std::nullopt;
  return ResolvedSecret{entry->value, entry->allowedHosts, entry->allowedCommands,
                        entry->expiresAt};
}

std::size_t TokenVault::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

const TokenVault::Entry* TokenVault::findLive(const std::string& handle, double now) const {
  auto found = entries_.find(handle);
  if (found == entries_.end() || !(found->second.expiresAt > now)) return nullptr;
  return &found->second;
}

void TokenVault::purgeExpired(double now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.expiresAt > now) {
      ++it;
      continue;
    }
    support::wipe(it->second.value);
    it = entries_.erase(it);
  }
}

}  // namespace varn::mcp
