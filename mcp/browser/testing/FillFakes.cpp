#include "mcp/browser/testing/FillFakes.hpp"

#include <algorithm>

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp::testing {

void ScriptedSite::record(const std::string& word) {
  calls.push_back(word);
  if (onCall) onCall(word);
  if (!failOn.empty() && word.rfind(failOn, 0) == 0) {
    throw BrowserError::cdpFailure("scripted failure");
  }
}

bool ScriptedSite::isRunning() {
  calls.emplace_back("isRunning");
  return running;
}

BrowserController::StartResult ScriptedSite::start(bool) {
  record("start");
  running = true;
  return {9223, false};
}

void ScriptedSite::stop() {
  record("stop");
  running = false;
}

void ScriptedSite::navigate(const std::string& url) {
  record("navigate " + url);
}

std::string ScriptedSite::currentURL() {
  record("currentURL");
  return current < pages.size() ? pages[current].url : std::string();
}

FieldMatch ScriptedSite::locateField(FillField field, const std::optional<std::string>& selector) {
  record("locate " + std::string(toString(field)) + (selector ? " " + *selector : ""));
  if (current >= pages.size()) return FieldMatch{};
  const Page& page = pages[current];
  const auto found = page.fields.find(field);
  if (found == page.fields.end() || found->second.count == 0) {
    return FieldMatch{0, "", "", false, page.url};
  }
  const Field& shown = found->second;
  return FieldMatch{shown.count, shown.inputType, shown.origin.empty() ? page.origin : shown.origin,
                    shown.count == 1, page.url};
}

void ScriptedSite::typeIntoFocused(const std::string& text) {
  record("type");
  typed.push_back(text);
  typedBuffer = text.data();
  typedSize = text.size();
}

void ScriptedSite::submitFocused() {
  record("submit");
  if (current + 1 < pages.size()) ++current;
}

std::vector<std::string> ScriptedSite::callsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [&](const std::string& word) { return word.rfind(prefix, 0) == 0; });
  return out;
}

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
      .decision = decision, .url = std::move(url), .allowedHosts = std::move(allowedHosts)};
}

FillRoad::FillRoad()
    : audit(std::make_shared<AuditLog>(std::nullopt, [] { return 1'800'000'000.0; })),
      service(std::make_shared<ResolveService>(vault, elicitor,
                                               std::make_shared<RateLimiter>(60, 60.0),
                                               KillSwitch(std::map<std::string, std::string>{}),
                                               audit, nullptr, [] { return 1'800'000'000.0; })) {}

}  // namespace varn::mcp::testing
