#include "mcp/browser/testing/FillFakes.hpp"

#include <algorithm>

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp::fakes {

VaultResponse ItemVault::resolve(std::string_view ref, bool approved) {
  const std::string key(ref);
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::string(approved ? "resolve-approved " : "resolve ") + key);
  }
  const auto value = values.find(key);
  if (value == values.end()) return VaultResponse{.decision = VaultDecision::refused};
  if (!approved && std::find(gated.begin(), gated.end(), key) != gated.end()) {
    return VaultResponse{.decision = VaultDecision::needsApproval};
  }
  return VaultResponse{.decision = VaultDecision::allowed, .value = value->second};
}

VaultResponse ItemVault::preview(std::string_view ref) {
  const std::string key(ref);
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("preview " + key);
  }
  const auto found = previews.find(key);
  if (found == previews.end()) throw ToolError::upstream("no such field");
  return found->second;
}

std::vector<VaultListEntry> ItemVault::list(const std::optional<std::string>& collection,
                                            const std::optional<std::string>& query) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("list " + collection.value_or("") + "/" + query.value_or(""));
  }
  if (listFails) throw ToolError::upstream("list failed");
  return listing;
}

std::vector<std::string> ItemVault::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

VaultResponse itemPreview(VaultDecision decision, std::optional<std::string> url,
                          std::optional<std::vector<std::string>> allowedHosts) {
  return VaultResponse{
      .decision = decision, .url = std::move(url), .allowed_hosts = std::move(allowedHosts)};
}

FillRoad::FillRoad()
    : audit(std::make_shared<AuditLog>(std::nullopt, [] { return 1'800'000'000.0; })),
      service(std::make_shared<ResolveService>(vault, elicitor,
                                               std::make_shared<RateLimiter>(60, 60.0),
                                               KillSwitch(std::map<std::string, std::string>{}),
                                               audit, nullptr, [] { return 1'800'000'000.0; })) {}

void FillRoad::storeItem(const std::map<std::string, std::string>& fields, const std::string& url) {
  for (const auto& [ref, value] : fields) {
    vault->previews[ref] = itemPreview(VaultDecision::allowed, url);
    // The field's label is its type for the labels of the three kinds; any other holds text.
    const std::string label = ref.substr(ref.rfind('/') + 1);
    vault->previews[ref].type =
        label == "username" || label == "password" || label == "otp" ? label : "text";
    vault->values[ref] = value;
  }
}

}  // namespace varn::mcp::fakes
