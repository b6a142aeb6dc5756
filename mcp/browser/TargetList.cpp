#include "mcp/browser/TargetList.hpp"

#include <algorithm>

#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {
using support::Json;

namespace {

constexpr std::string_view kBackgroundPrefixes[] = {"chrome://", "chrome-extension://",
                                                    "devtools://", "about:"};

}  // namespace

bool TargetList::isBackgroundURL(std::string_view url) {
  return std::any_of(std::begin(kBackgroundPrefixes), std::end(kBackgroundPrefixes),
                     [&](std::string_view prefix) { return url.starts_with(prefix); });
}

void TargetList::bind(const CDPConnection* connection) {
  std::lock_guard lock(mutex_);
  bound_ = connection;
  complete_ = false;
  outgrown_ = false;
  addressBytes_ = 0;
  targets_.clear();
  activated_.reset();
}

void TargetList::onEvent(const CDPConnection& from, const Json& event) {
  const LenientJson in(event);
  const std::string method = in["method"].text();
  if (method != "Target.targetCreated" && method != "Target.targetInfoChanged" &&
      method != "Target.targetDestroyed") {
    return;
  }
  std::lock_guard lock(mutex_);
  if (bound_ != &from) return;
  if (method == "Target.targetDestroyed" && activated_ == in["params"]["targetId"].text()) {
    activated_.reset();
  }
  if (outgrown_) return;
  if (method != "Target.targetDestroyed") {
    recordLocked(in["params"]["targetInfo"].object());
    return;
  }
  const auto gone = findLocked(in["params"]["targetId"].text());
  if (gone == targets_.end()) return;
  addressBytes_ -= LenientJson(*gone)["url"].text().size();
  targets_.erase(gone);
}

std::vector<Json>::iterator TargetList::findLocked(const std::string& targetId) {
  return std::find_if(targets_.begin(), targets_.end(), [&](const Json& target) {
    // Every kept target has a string id (recordLocked): no copy for the comparison.
    return target.at("targetId").get_ref<const std::string&>() == targetId;
  });
}

void TargetList::recordLocked(const Json& info) {
  const LenientJson target(info);
  const std::optional<std::string> id = target["targetId"].optionalText();
  if (!id) return;
  // Only what the page's choice and the frame search read: an address can be megabytes long,
  // and only a page's is read.
  Json kept{{"targetId", *id}, {"type", target["type"].text()}};
  if (const auto parent = target["parentId"].optionalText()) kept["parentId"] = *parent;
  std::size_t bytes = 0;
  if (target["type"].text() == "page") {
    kept["url"] = target["url"].text();
    bytes = kept["url"].get_ref<const std::string&>().size();
  }
  const auto known = findLocked(*id);
  const std::size_t before = known == targets_.end() ? 0 : LenientJson(*known)["url"].text().size();
  if ((known == targets_.end() && targets_.size() >= kMaxTargets) ||
      addressBytes_ - before + bytes > kMaxAddressBytes) {
    outgrown_ = true;
    addressBytes_ = 0;
    targets_.clear();
    return;
  }
  addressBytes_ = addressBytes_ - before + bytes;
  if (known != targets_.end()) {
    *known = std::move(kept);
  } else if (!complete_) {
    targets_.push_back(std::move(kept));
  } else {
    // Opened now: the browser brings it to the front, and an ordinary page takes the agent's
    // place there (a popup is reported with an empty address, before it loads).
    if (kept["type"] == "page" && !isBackgroundURL(target["url"].text())) activated_.reset();
    targets_.insert(targets_.begin(), std::move(kept));
  }
}

void TargetList::activate(const CDPConnection& connection, const std::string& targetId) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return;
  activated_ = targetId;
  if (const auto known = findLocked(targetId); known != targets_.end()) {
    std::rotate(targets_.begin(), known, known + 1);
  }
}

std::optional<std::string> TargetList::activated(const CDPConnection& connection) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return std::nullopt;
  return activated_;
}

void TargetList::discovered(const CDPConnection& connection) {
  std::lock_guard lock(mutex_);
  if (bound_ == &connection) complete_ = true;
}

std::optional<Json> TargetList::infos(const CDPConnection& connection) {
  std::lock_guard lock(mutex_);
  // A browser that reported nothing at all may not discover: its list is asked for instead.
  if (bound_ != &connection || !complete_ || outgrown_ || targets_.empty()) return std::nullopt;
  return Json(targets_);
}

}  // namespace varn::mcp
