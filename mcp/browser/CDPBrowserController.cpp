#include "mcp/browser/CDPBrowserController.hpp"

#include <algorithm>
#include <set>
#include <thread>
#include <utility>

#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/LenientJson.hpp"
#include "mcp/browser/PageScripts.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

bool isPage(const Json& entry) {
  return LenientJson(entry)["type"].text() == "page";
}

// The readiness probe: the document's state, and the address it shows, so that a finished
// navigation needs no second read. The address is read apart from the state, so a page that
// fakes its readyState cannot change it.
constexpr const char* kReadiness = "({state: document.readyState, href: location.href})";
// The address alone, as every answer comes: in an object.
constexpr const char* kAddress = "({href: location.href})";

// How long a submit waits for the document it may replace to go.
constexpr std::chrono::milliseconds kSubmitWindow{1000};

// The binding as the guard reads it.
Json bindingJson(const FillBinding& binding) {
  Json sites = Json::array();
  for (const FillBinding::Site& site : binding.sites) {
    sites.push_back(Json{{"domain", site.domain}, {"tenants", site.tenants}});
  }
  return Json{{"lockedTo", binding.lockedTo},
              {"https", binding.https},
              {"hosts", binding.hosts},
              {"sites", std::move(sites)}};
}

}  // namespace

CDPBrowserController::CDPBrowserController(std::shared_ptr<BrowserManager> manager,
                                           std::chrono::seconds idleTimeout,
                                           std::shared_ptr<IdleClock> clock)
    : manager_(std::move(manager)),
      watchdog_(
          std::move(clock), idleTimeout, [this] { return manager_->portClientConnected(); },
          [this] {
            // The watch ends either way; a failed stop leaves the browser to the next stop.
            try {
              stop();
            } catch (...) {
            }
          }) {
  manager_->setEventHandler([this](const CDPConnection& from, const Json& event) {
    pages_.onEvent(from, event);
    targets_.onEvent(from, event);
  });
}

CDPBrowserController::~CDPBrowserController() {
  watchdog_.cancel();
  manager_->stop();
  manager_->setEventHandler({});
}

bool CDPBrowserController::isRunning() {
  return manager_->isRunning();
}

BrowserController::StartResult CDPBrowserController::start(bool headless) {
  const bool alreadyRunning = manager_->start(headless);
  if (!alreadyRunning) {
    {
      // A new browser process: whatever was connected to an earlier one is dead.
      std::lock_guard lock(mutex_);
      dropConnectionLocked();
    }
    // Connected at once, so that every tab opened from now on is known in the order it opened.
    try {
      (void)ensureConnection();
    } catch (const BrowserError&) {
      // Gone already: the next operation reports it.
    }
  }
  watchdog_.touch();
  watchdog_.restart();
  return StartResult{manager_->port(), alreadyRunning};
}

void CDPBrowserController::stop() {
  watchdog_.cancel();
  {
    std::lock_guard lock(mutex_);
    dropConnectionLocked();
  }
  manager_->stop();
}

void CDPBrowserController::setIdleTimeout(std::optional<std::int64_t> seconds) {
  watchdog_.setOverride(seconds ? std::optional(std::chrono::seconds(*seconds)) : std::nullopt);
}

BrowserUse CDPBrowserController::beginUse() {
  watchdog_.beginUse();
  return BrowserUse([this] { watchdog_.endUse(); });
}

void CDPBrowserController::dropConnectionLocked() {
  pages_.bind(nullptr);
  targets_.bind(nullptr);
  ++generation_;
  connection_.reset();
}

CDPBrowserController::Connection CDPBrowserController::ensureConnection() {
  watchdog_.touch();
  // A stop or a new browser while this call took the connection makes it stale; the next round
  // asks for the browser that runs now.
  for (int round = 0; round < 3; ++round) {
    std::uint64_t generation;
    {
      std::lock_guard lock(mutex_);
      if (connection_) return connection_;
      generation = generation_;
    }
    Connection conn = manager_->connection();
    {
      std::lock_guard lock(mutex_);
      if (generation_ != generation) continue;
      if (connection_) return connection_;
      connection_ = conn;
      pages_.bind(conn.get());
      targets_.bind(conn.get());
    }
    discoverTargets(conn);
    return conn;
  }
  throw BrowserError::cdpFailure("connection closed");
}

void CDPBrowserController::discoverTargets(const Connection& conn) {
  try {
    conn->send("Target.setDiscoverTargets", Json{{"discover", true}}, std::nullopt,
               kDiscoveryDeadline);
    targets_.discovered(*conn);
  } catch (const BrowserError&) {
    // Without discovery the target list is asked of the browser each time.
  }
}

Json CDPBrowserController::targetList(const Connection& conn) {
  if (std::optional<Json> known = targets_.infos(*conn)) {
    return Json{{"targetInfos", std::move(*known)}};
  }
  return conn->send("Target.getTargets");
}

std::vector<const Json*> CDPBrowserController::pageOrder(const Connection& conn,
                                                         const Json& targetInfos) {
  const std::optional<std::string> activated = targets_.activated(*conn);
  const std::set<std::string> closed = pages_.closedTargets();
  std::vector<const Json*> chosen;
  std::vector<const Json*> ordinary;
  std::vector<const Json*> background;
  for (const Json& entry : targetInfos) {
    const LenientJson target(entry);
    const std::optional<std::string> id = target["targetId"].optionalText();
    if (!isPage(entry) || !id || closed.contains(*id)) continue;
    if (id == activated) {
      chosen.push_back(&entry);
    } else {
      (TargetList::isBackgroundURL(target["url"].text()) ? background : ordinary).push_back(&entry);
    }
  }
  chosen.insert(chosen.end(), ordinary.begin(), ordinary.end());
  // A browser whose pages are all background pages still has a page.
  if (ordinary.empty()) chosen.insert(chosen.end(), background.begin(), background.end());
  return chosen;
}

std::optional<PageTarget> CDPBrowserController::activePage(const Connection& conn, Json* targets) {
  const Json reply = targetList(conn);
  if (targets != nullptr) *targets = reply;
  const LenientJson listed = LenientJson(reply)["targetInfos"];
  if (!listed.isArray()) return std::nullopt;
  const Json& infos = listed.array();
  pages_.forgetVanished(*conn, infos);
  // Only the chosen page is attached (the next one only when it has gone meanwhile): what the
  // other tabs do, hung or looping, costs nothing here.
  for (const Json* entry : pageOrder(conn, infos)) {
    const std::string targetId = LenientJson(*entry)["targetId"].text();
    std::optional<std::string> sessionId;
    try {
      sessionId = channel_.attach(conn, targetId, true);
    } catch (const BrowserError& error) {
      // Closed between the list and the attach: no longer a page to choose.
      if (!failedWith(error, "No target with given id found")) throw;
    }
    if (sessionId)
      return PageTarget{targetId, std::move(*sessionId), LenientJson(*entry)["url"].text()};
  }
  return std::nullopt;
}

std::string CDPBrowserController::navigate(const std::string& url) {
  const Connection conn = ensureConnection();
  std::optional<PageTarget> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  channel_.failOnDialog(*page);
  // The session's Page domain was enabled when it was attached. A document that has not answered
  // that by now is stuck (a script that never yields): it reports no commit and answers no probe,
  // so the first document to answer one is the new one, which the browser gives the Page domain
  // only once it has committed.
  const bool stuck = !pages_.awaitPageEnabled(page->targetId, page->sessionId, kEnableWait);
  const Json started = channel_.send(conn, *page, "Page.navigate", Json{{"url", url}});
  // Until the new document commits, the old one answers the probes: a loading navigation counts
  // only once the browser reported the commit of its loader (events come before later replies).
  std::optional<std::string> loaderId;
  if (!LenientJson(started).has("errorText"))
    loaderId = LenientJson(started)["loaderId"].optionalText();
  auto committed = [&] {
    return !loaderId || stuck || pages_.committed(page->targetId, page->sessionId, *loaderId);
  };

  // A probe that gets no answer (a dialog open on the page) would otherwise stretch the polling
  // to many minutes; the whole of it keeps to the time the polls take when they answer at once.
  const Steady::time_point budgetEnd = Steady::now() + kReadinessPolls * kReadinessPause;
  bool loadSeen = false;
  bool worldMade = false;
  for (int poll = 0; poll < kReadinessPolls; ++poll) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(budgetEnd - Steady::now());
    if (poll > 0 && left <= std::chrono::milliseconds(0)) return {};
    // Short probes: a dialog the page opens meanwhile holds the answer back, and is reported at
    // once instead.
    const auto deadline =
        CallBudget::clamp(std::clamp(left, kReadinessPause, kReadinessProbe), "the page load");
    try {
      const ScriptReply shown = channel_.evaluate(conn, *page, kReadiness, deadline);
      if (shown["state"].text() == "complete" && committed()) {
        if (!pages_.pageEnabled(page->targetId, page->sessionId)) {
          channel_.enablePage(conn, page->targetId, page->sessionId);
        }
        return shown["href"].text();
      }
      if (committed() && !std::exchange(worldMade, true))
        channel_.prepareWorld(conn, *page, deadline);
    } catch (const BrowserError& error) {
      // A page that answers slowly, or not yet, is not ready yet; a connection that has ended
      // fails the navigation.
      if (failedWith(error, "connection closed")) throw;
    }
    channel_.failOnDialog(*page);
    // The pause ends early, once, when the new document stops loading: its next probe then finds
    // it complete without waiting out the rest of the pause. A dialog also ends the pause.
    pages_.pauseForLoad(page->targetId, page->sessionId, loaderId, loadSeen, kReadinessPause);
  }
  return {};
}

std::string CDPBrowserController::currentURL() {
  const Connection conn = ensureConnection();
  std::optional<PageTarget> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  channel_.failOnDialog(*page);
  try {
    return channel_.evaluate(conn, *page, kAddress, kProbeDeadline)["href"].text();
  } catch (const std::exception&) {
    return "";
  }
}

std::vector<TabInfo> CDPBrowserController::listTabs() {
  const Connection conn = ensureConnection();
  // Titles come only with the browser's own list. The browser process answers it, however busy
  // the pages' renderers are, and the active tab is chosen without asking any of them.
  const Json reply = conn->send("Target.getTargets");
  const LenientJson listed = LenientJson(reply)["targetInfos"];
  const Json infos = listed.isArray() ? listed.array() : Json::array();
  pages_.forgetVanished(*conn, infos);
  const std::optional<Json> known = targets_.infos(*conn);
  const std::vector<const Json*> order = pageOrder(conn, known ? *known : infos);
  const std::optional<std::string> activeId =
      order.empty() ? std::nullopt : LenientJson(*order.front())["targetId"].optionalText();
  std::vector<TabInfo> tabs;
  const std::set<std::string> closed = pages_.closedTargets();
  for (const Json& entry : infos) {
    const LenientJson tab(entry);
    if (!isPage(entry) || closed.contains(tab["targetId"].text())) continue;
    const std::optional<std::string> id = tab["targetId"].optionalText();
    tabs.push_back(TabInfo{id.value_or(""), tab["url"].text(), tab["title"].text(),
                           id.has_value() && id == activeId});
  }
  std::stable_partition(tabs.begin(), tabs.end(), [](const TabInfo& tab) { return tab.active; });
  return tabs;
}

void CDPBrowserController::activateTab(const std::string& id) {
  const Connection conn = ensureConnection();
  conn->send("Target.activateTarget", Json{{"targetId", id}});
  targets_.activate(*conn, id);
}

void CDPBrowserController::closeTab(const std::string& id) {
  const Connection conn = ensureConnection();
  conn->send("Target.closeTarget", Json{{"targetId", id}});
  pages_.markClosed(*conn, id);
}

void CDPBrowserController::handleDialog(bool accept, const std::optional<std::string>& promptText) {
  const Connection conn = ensureConnection();
  std::optional<PageTarget> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  Json params{{"accept", accept}};
  if (promptText) params["promptText"] = *promptText;
  // No Page.enable here: the session has it since it was attached, and sent again while a dialog
  // shows it would never be answered.
  try {
    channel_.send(conn, *page, "Page.handleJavaScriptDialog", params);
  } catch (const std::exception&) {
    // Whatever was thought open is not: the page serves the other tools again.
    pages_.clearDialog(page->targetId);
    throw BrowserError::cdpFailure("no open JS dialog on " + page->url + " — nothing to " +
                                   (accept ? "accept" : "dismiss"));
  }
}

FieldMatch CDPBrowserController::locateField(FillField field,
                                             const std::optional<std::string>& selector) {
  if (field == FillField::custom && !selector) {
    throw ToolError::invalidArguments("field 'custom' requires a selector");
  }
  const Connection conn = ensureConnection();
  Json targets;
  const std::optional<PageTarget> page = activePage(conn, &targets);
  if (!page) return FieldMatch{};
  return search_.locate(conn, *page, targets, field, FieldSearch::selectorsOf(field, selector));
}

PageShown CDPBrowserController::shownPage(std::span<const FillField> kinds) {
  std::string selectors;
  for (FillField kind : kinds) {
    const std::string own = FieldSearch::selectorsOf(kind, std::nullopt);
    if (!own.empty()) selectors += (selectors.empty() ? "" : ", ") + own;
  }
  const Connection conn = ensureConnection();
  Json targets;
  const std::optional<PageTarget> page = activePage(conn, &targets);
  if (!page) return {};
  // Without selectors (an empty list matches nothing) the search still reads the address.
  return search_.shown(conn, *page, targets, selectors);
}

// The typing is one synchronous function on the element the field search handed out: it
// re-checks the element, the focus and its document's origin and sets the value, so no page script
// runs between the checks and the value. Typing and submitting count as the user's own input, as
// they would for a person.
//
// What a submission does with a typed value is judged in the page, by the guard the typing leaves
// in the element's document (scripts/guard.js) with the value's binding: whoever sets it off,
// after the page's own handlers, before anything is sent. The binding travels with the typing
// call, so judging costs no DevTools command of its own.
void CDPBrowserController::typeInto(const FieldMatch& match, const std::string& text,
                                    const FillBinding& binding) {
  const LocatedElement& element = elementOf(match);
  const ScriptReply typed = channel_.callOnElement(
      ensureConnection(), element, scripts::type,
      Json::array({Json{{"value", text}}, Json{{"value", toString(element.field)}},
                   Json{{"value", element.origin}}, Json{{"value", bindingJson(binding)}}}),
      "the typing");
  const std::string kind = typed.kind();
  if (kind == "opaque") throw BrowserError::opaqueOrigin(element.origin);
  if (kind == "origin") throw BrowserError::originMismatch(element.origin, typed["origin"].text());
  if (kind == "changed") throw BrowserError::fieldChanged(typed["what"].text());
  if (kind != "typed") throw BrowserError::fieldChanged("the page changed the field");
}

void CDPBrowserController::clearField(const FieldMatch& match) {
  try {
    (void)channel_.callOnElement(ensureConnection(), elementOf(match), scripts::clear,
                                 Json::array(), "clearing the field");
  } catch (const std::exception&) {
    // Gone with its document: nothing left to clear.
  }
}

bool CDPBrowserController::submit(const FieldMatch& match) {
  const LocatedElement& element = elementOf(match);
  const Connection conn = ensureConnection();
  const std::string loaderBefore = pages_.loaderOf(element.targetId);
  ScriptReply answer =
      channel_.callOnElement(conn, element, scripts::submit, Json::array(), "the submit");
  std::string kind = answer.kind();
  bool submitted = kind == "submitted" || kind == "clicked";
  if (kind == "none" || kind.empty()) {
    pressEnter(conn, element.sessionId);
    // Only what the document's guard saw tells whether the key press submitted anything; a page
    // whose script acted on the key may have left the document already, which the key led to.
    try {
      answer = channel_.callOnElement(conn, element, scripts::outcome, Json::array(), "the submit");
      kind = answer.kind();
    } catch (const BrowserError& error) {
      if (error.errorCase() != BrowserError::Case::fieldChanged) throw;
      kind = "taken";
    }
    submitted = kind == "started" || kind == "taken";
  }
  if (kind == "refused") throw BrowserError::submitRefused(answer["reason"].text());
  // The next operation acts on the page the submit led to, not on the one it left.
  pages_.awaitDocument(element.targetId, element.sessionId, loaderBefore, kSubmitWindow,
                       kReadinessPolls * kReadinessPause, [&] {
                         channel_.prepareWorld(conn,
                                               PageTarget{element.targetId, element.sessionId, ""},
                                               kReadinessProbe);
                       });
  return submitted;
}

void CDPBrowserController::pressEnter(const Connection& conn, const std::string& sessionId) {
  for (const char* type : {"keyDown", "keyUp"}) {
    Json key{{"type", type},
             {"key", "Enter"},
             {"code", "Enter"},
             {"windowsVirtualKeyCode", 13},
             {"nativeVirtualKeyCode", 13}};
    // The key's character makes the key press a keypress too, as a keyboard's Enter is.
    if (key["type"] == "keyDown") key["text"] = key["unmodifiedText"] = "\r";
    conn->send("Input.dispatchKeyEvent", key, sessionId,
               CallBudget::clamp(kCommandDeadline, "the submit"));
  }
}

}  // namespace varn::mcp
