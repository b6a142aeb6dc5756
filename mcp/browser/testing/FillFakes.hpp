#pragma once

// Fakes for the tests of the fill pipeline and the web login: a vault that knows one item's
// fields, and a resolve road over that vault and a scripted browser.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/testing/ScriptedController.hpp"
#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/testing/ResolveFakes.hpp"

namespace varn::mcp::fakes {

// A vault that holds one item's fields. preview answers from `previews` (a reference without an
// entry throws ToolError::upstream("no such field")); resolve gives `values[ref]` as allowed, or
// needs_approval first when the reference is in `gated`; list answers `listing`. Every call is
// recorded as "<op> <ref>" ("list <collection>/<query>"). Thread-safe.
class ItemVault final : public VaultClient {
 public:
  std::map<std::string, VaultResponse> previews;
  std::map<std::string, std::string> values;
  std::vector<std::string> gated;
  std::vector<VaultListEntry> listing;
  bool listFails = false;

  VaultResponse resolve(std::string_view ref, bool approved) override;
  VaultResponse preview(std::string_view ref) override;
  std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                   const std::optional<std::string>& query) override;

  [[nodiscard]] std::vector<std::string> calls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;  // guarded by mutex_
};

// A preview reply with a decision and the item's binding.
VaultResponse itemPreview(VaultDecision decision, std::optional<std::string> url,
                          std::optional<std::vector<std::string>> allowedHosts = std::nullopt);

// The real resolve road over an ItemVault, with a scripted elicitor and an in-memory audit trail.
struct FillRoad {
  FillRoad();
  FillRoad(const FillRoad&) = delete;
  FillRoad& operator=(const FillRoad&) = delete;

  // Stores the item's fields (reference -> value) in the vault, each previewed as allowed and
  // bound to `url`, with its label as its type ("text" for labels other than username, password
  // and otp).
  void storeItem(const std::map<std::string, std::string>& fields, const std::string& url);

  std::shared_ptr<ItemVault> vault = std::make_shared<ItemVault>();
  std::shared_ptr<ResolveScriptedElicitor> elicitor = std::make_shared<ResolveScriptedElicitor>();
  std::shared_ptr<AuditLog> audit;
  std::shared_ptr<ResolveService> service;
  std::shared_ptr<ScriptedController> browser = std::make_shared<ScriptedController>();
};

}  // namespace varn::mcp::fakes
