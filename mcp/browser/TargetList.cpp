#include "mcp/browser/TargetList.hpp"

#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {
using support::Json;

void TargetList::bind(const CDPConnection* connection) {
  std::lock_guard lock(mutex_);
  bound_ = connection;
  complete_ = false;
  outgrown_ = false;
  addressBytes_ = 0;
  targets_.clear();
  at_.clear();
}

void TargetList::onEvent(const CDPConnection& from, const Json& event) {
  const LenientJson in(event);
  const std::string method = in["method"].text();
  if (method != "Target.targetCreated" && method != "Target.targetInfoChanged" &&
      method != "Target.targetDestroyed") {
    return;
  }
  std::lock_guard lock(mutex_);
  if (bound_ != &from || outgrown_) return;
  if (method != "Target.targetDestroyed") {
    recordLocked(in["params"]["targetInfo"].object());
    return;
  }
  const auto gone = at_.find(in["params"]["targetId"].text());
  if (gone == at_.end()) return;
  const std::size_t index = gone->second;
  addressBytes_ -= LenientJson(targets_[index])["url"].text().size();
  targets_.erase(targets_.begin() + static_cast<std::ptrdiff_t>(index));
  at_.erase(gone);
  for (auto& [id, at] : at_) {
    if (at > index) --at;
  }
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
  const auto known = at_.find(*id);
  const std::size_t before =
      known == at_.end() ? 0 : LenientJson(targets_[known->second])["url"].text().size();
  if ((known == at_.end() && targets_.size() >= kMaxTargets) ||
      addressBytes_ - before + bytes > kMaxAddressBytes) {
    outgrown_ = true;
    addressBytes_ = 0;
    targets_.clear();
    at_.clear();
    return;
  }
  addressBytes_ = addressBytes_ - before + bytes;
  if (known != at_.end()) {
    targets_[known->second] = std::move(kept);
  } else {
    at_[*id] = targets_.size();
    targets_.push_back(std::move(kept));
  }
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
