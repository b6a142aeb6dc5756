#pragma once

// Fakes for the tests of the fill pipeline and the web login: a browser whose pages are scripted,
// a vault that knows one item's fields, and a resolve road over that vault.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/testing/ResolveFakes.hpp"

namespace varn::mcp::testing {

// A browser that shows scripted pages, one at a time. Every call is recorded in `calls` as a short
// word ("isRunning", "currentURL", "navigate <url>", "locate <kind>", "type", "submit"); typed
// texts go to `typed`. A submit moves to the next page when there is one. Not thread-safe:
// configure, run, then read.
class ScriptedSite final : public BrowserController {
 public:
  // One visible field kind on a page.
  struct Field {
    std::int64_t count = 1;
    std::string inputType = "text";
    std::string origin;  // empty: the page's origin
  };
  struct Page {
    std::string url;
    std::string origin;
    std::map<FillField, Field> fields;
  };

  bool running = true;
  std::vector<Page> pages;
  std::size_t current = 0;
  std::vector<std::string> calls;
  std::vector<std::string> typed;
  // Where the last typed text lay in the caller's memory, to check that the caller wipes it.
  const char* typedBuffer = nullptr;
  std::size_t typedSize = 0;
  // Throws cdpFailure("scripted failure") instead of answering the call whose word starts with
  // this text (e.g. "locate password", "submit", "currentURL").
  std::string failOn;
  // Called with each call's word before it is answered; may change the pages.
  std::function<void(const std::string&)> onCall;

  bool isRunning() override;
  StartResult start(bool headless) override;
  void stop() override;
  void navigate(const std::string& url) override;
  std::string currentURL() override;
  FieldMatch locateField(FillField field, const std::optional<std::string>& selector) override;
  void typeIntoFocused(const std::string& text) override;
  void submitFocused() override;

  // The calls whose word starts with `prefix`.
  [[nodiscard]] std::vector<std::string> callsOf(const std::string& prefix) const;

 private:
  void record(const std::string& word);
};

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

  std::shared_ptr<ItemVault> vault = std::make_shared<ItemVault>();
  std::shared_ptr<ResolveScriptedElicitor> elicitor = std::make_shared<ResolveScriptedElicitor>();
  std::shared_ptr<AuditLog> audit;
  std::shared_ptr<ResolveService> service;
  std::shared_ptr<ScriptedSite> browser = std::make_shared<ScriptedSite>();
};

}  // namespace varn::mcp::testing
