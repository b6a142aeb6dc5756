#include "mcp/browser/WebLoginTool.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "mcp/browser/BrowserURL.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/OriginLock.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {
namespace {

// The kinds a login fills, in the order it walks them.
constexpr std::array<FillField, 3> kKinds = {FillField::username, FillField::password,
                                             FillField::otp};
constexpr std::size_t kPassword = 1;

constexpr const char* kNotConverged = "login did not converge";

// The characters a URI path segment allows besides the unreserved ones.
constexpr std::string_view kSegmentAllowed = "!$&'()*+,;=:@";

// The address a run reports once it has typed: no query and no fragment.
std::string withoutQuery(const std::string& url) {
  return url.substr(0, std::min(url.find('?'), url.find('#')));
}

}  // namespace

WebLoginTool::WebLoginTool(std::shared_ptr<ResolveService> resolver,
                           std::shared_ptr<VaultClient> vault,
                           std::shared_ptr<BrowserController> controller, std::string name,
                           int maxSteps, int maxStableRounds, Settle settle, WallClock clock)
    : name_(std::move(name)),
      core_(std::move(resolver), vault, controller, std::move(clock)),
      vault_(std::move(vault)),
      controller_(std::move(controller)),
      maxSteps_(std::max(maxSteps, 0)),
      maxStableRounds_(maxStableRounds),
      settle_(std::move(settle)) {}

void WebLoginTool::pauseOneSecond() {
  // A pause near the end of the call's budget ends with it, so the reply stays within 30 s.
  std::this_thread::sleep_for(
      CallBudget::clamp(std::chrono::seconds(1), "the pause between steps"));
}

std::string WebLoginTool::fieldRef(const std::string& collection, const std::string& item,
                                   const std::string& label) {
  return "varn://" + support::percentEncode(collection, kSegmentAllowed) + "/" +
         support::percentEncode(item, kSegmentAllowed) + "/" +
         support::percentEncode(label, kSegmentAllowed);
}

WebLoginTool::ByKind WebLoginTool::fieldsByKind(const std::string& collection,
                                                const std::string& item) const {
  ByKind byKind;
  std::vector<VaultListEntry> entries;
  try {
    entries = vault_->list(collection, item);
  } catch (const std::exception&) {
    return byKind;  // an unreadable listing offers no fields
  }
  for (const VaultListEntry& entry : entries) {
    try {
      const VarnRef parsed = VarnRef::parse(entry.ref);
      if (parsed.collection != collection || parsed.item != item) continue;
    } catch (const VarnRefError&) {
      continue;
    }
    for (std::size_t kind = 0; kind < kKinds.size(); ++kind) {
      if (entry.type == toString(kKinds[kind])) byKind[kind].push_back(entry.ref);
    }
  }
  return byKind;
}

WebLoginOutput WebLoginTool::run(const WebLoginInput& input) const {
  const CallBudget budget;
  // No idle stop while the call runs, approval waits included.
  const BrowserUse use = controller_->beginUse();
  const VarnRef::ItemRef itemRef = VarnRef::parseItemRef(input.ref);
  // A start address of another scheme could run script in the page (javascript:), with the
  // item's host in it.
  if (input.start_url && !BrowserURL::isHttp(*input.start_url)) {
    throw ToolError::invalidArguments("start_url must be http or https");
  }
  if (!controller_->isRunning()) throw BrowserError::noBrowser();

  Refs refs = refsByLabel(itemRef);
  if (std::count(refs.begin(), refs.end(), std::nullopt) > 0) {
    if (std::optional<std::string> stuck = refsByListing(itemRef, refs)) {
      return WebLoginOutput{"stuck", std::move(*stuck), urlOr(""), {}};
    }
  }
  if (!refs[kPassword]) {
    return WebLoginOutput{"stuck",
                          "no password credential for this item — no field labeled 'password' "
                          "and none of kind password",
                          urlOr(""),
                          {}};
  }
  return converge(refs, openStart(input, *refs[kPassword]));
}

WebLoginTool::Refs WebLoginTool::refsByLabel(const VarnRef::ItemRef& item) const {
  Refs refs;
  for (std::size_t kind = 0; kind < kKinds.size(); ++kind) {
    std::string ref = fieldRef(item.collection, item.item, std::string(toString(kKinds[kind])));
    try {
      // A label holding a value of another type (a password labelled username) is no field of
      // that kind.
      const VaultResponse preview = vault_->preview(ref);
      if (preview.decision != VaultDecision::refused &&
          BrowserFillCore::fits(kKinds[kind], preview.type)) {
        refs[kind] = std::move(ref);
      }
    } catch (const std::exception&) {
    }
  }
  return refs;
}

std::optional<std::string> WebLoginTool::refsByListing(const VarnRef::ItemRef& item,
                                                       Refs& refs) const {
  const ByKind listed = fieldsByKind(item.collection, item.item);
  for (std::size_t kind = 0; kind < kKinds.size(); ++kind) {
    if (refs[kind]) continue;
    const std::vector<std::string>& candidates = listed[kind];
    if (candidates.size() == 1) {
      refs[kind] = candidates.front();
    } else if (candidates.size() > 1 && kind == kPassword) {
      std::string step = "several fields of kind password on this item — pass one explicitly: ";
      for (std::size_t i = 0; i < candidates.size(); ++i) {
        step += (i == 0 ? "" : ", ") + candidates[i];
      }
      return step;
    }
  }
  return std::nullopt;
}

std::string WebLoginTool::openStart(const WebLoginInput& input,
                                    const std::string& passwordRef) const {
  const VaultResponse binding = vault_->preview(passwordRef);
  std::string target;
  if (input.start_url) {
    target = *input.start_url;
  } else {
    target = support::trimWhitespace(binding.url.value_or(""));
    if (target.empty()) throw BrowserError::itemHasNoURL(passwordRef);
  }
  OriginLock::check(target, binding.url, binding.allowed_hosts, passwordRef);
  std::string shown = controller_->navigate(target);
  return shown.empty() ? urlOr(target) : shown;
}

std::string WebLoginTool::urlOr(std::string fallback) const {
  try {
    return controller_->currentURL();
  } catch (const std::exception&) {
    return fallback;
  }
}

WebLoginOutput WebLoginTool::converge(const Refs& refs, std::string lastURL) const {
  Filled filled;
  const auto report = [&filled](std::string status, std::string step, const std::string& url) {
    return WebLoginOutput{std::move(status), std::move(step),
                          filled.names.empty() ? url : withoutQuery(url), filled.names};
  };
  if (maxSteps_ == 0) return report("stuck", kNotConverged, lastURL);

  int steps = 0;
  int stable = 0;
  // The first round takes the address the start has just read instead of asking again; every
  // later one reads the address together with whether a login field still shows (which only a
  // round that types nothing after a password needs).
  bool fresh = true;
  for (;;) {
    std::string url = lastURL;
    bool unchanged = true;
    bool anyField = true;
    if (!std::exchange(fresh, false)) {
      const PageShown shown = controller_->shownPage(kKinds);
      if (!shown.url.empty()) url = shown.url;
      unchanged = url == lastURL;
      anyField = shown.anyField;
    }

    const std::vector<TypedField> typed = typeVisible(refs, filled);
    if (!typed.empty()) {
      core_.submitTyped(typed);
      if (++steps >= maxSteps_) return report("stuck", kNotConverged, url);
      stable = 0;
      lastURL = url;
      continue;
    }

    if (!filled.kinds[kPassword]) {
      if (++stable >= maxStableRounds_) {
        return report("stuck", "could not find a password field", url);
      }
    } else {
      if (!anyField && !unchanged) return report("logged_in", "credentials submitted", url);
      if (++stable >= maxStableRounds_)
        return report("needs_human", humanStep(refs, anyField), url);
    }
    settle_();
    if (++steps >= maxSteps_) return report("stuck", kNotConverged, url);
    lastURL = url;
  }
}

std::vector<TypedField> WebLoginTool::typeVisible(const Refs& refs, Filled& filled) const {
  std::vector<TypedField> typed;
  for (std::size_t kind = 0; kind < kKinds.size(); ++kind) {
    if (!refs[kind] || filled.kinds[kind]) continue;
    const FieldMatch match = controller_->locateField(kKinds[kind], std::nullopt);
    if (match.count != 1) continue;
    typed.push_back(core_.fillLocated(*refs[kind], kKinds[kind], match, name_));
    filled.kinds[kind] = true;
    filled.names.emplace_back(toString(kKinds[kind]));
  }
  return typed;
}

std::string WebLoginTool::humanStep(const Refs& refs, bool anyField) const {
  std::string missing;
  for (std::size_t kind = 0; kind < kKinds.size(); ++kind) {
    if (refs[kind]) continue;
    if (controller_->locateField(kKinds[kind], std::nullopt).count > 0) {
      missing += (missing.empty() ? "" : " + ") + std::string(toString(kKinds[kind]));
    }
  }
  if (!missing.empty()) {
    return "the page shows " + missing +
           " field(s) this item has no credential for — add it (e.g. secret_update "
           "username:) or fill it with browser_fill/manually";
  }
  return anyField ? "a challenge remains that Varn can't fill" : "waiting on device approval";
}

}  // namespace varn::mcp
