#include "mcp/browser/CDPBrowserController.hpp"

#include <algorithm>
#include <set>
#include <thread>
#include <utility>

#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

bool isPage(const Json& entry) {
  return LenientJson(entry)["type"].text() == "page";
}

// Whether a command failed with `message`. The browser tells a session or a target it no longer
// knows ("Session with given id not found.", "No target with given id found") only by its error's
// message, under a code it uses for other failures too, and the connection reports its own end as
// "connection closed" to every command it fails: the text is the one signal there is.
bool failedWith(const BrowserError& error, std::string_view message) {
  return error.errorCase() == BrowserError::Case::cdpFailure && error.text().starts_with(message);
}

Json evaluation(const std::string& js) {
  return Json{{"expression", js}, {"returnByValue", true}};
}

// The readiness probe: the document's state, and the address it shows, so that a finished
// navigation needs no second read. The address is read apart from the state, so a page that
// fakes its readyState cannot change it.
constexpr const char* kReadiness = "({state: document.readyState, href: location.href})";

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

std::optional<std::string> CDPBrowserController::attach(const Connection& conn,
                                                        const std::string& targetId, bool page) {
  if (std::optional<std::string> kept = pages_.sessionOf(*conn, targetId)) return kept;
  const Json reply =
      conn->send("Target.attachToTarget", Json{{"targetId", targetId}, {"flatten", true}});
  std::optional<std::string> sessionId = LenientJson(reply)["sessionId"].optionalText();
  if (!sessionId) return std::nullopt;
  // Chromium answers Page.handleJavaScriptDialog only in a session whose Page domain was enabled
  // before the dialog opened, so it is enabled now, once per session. A headless page, or one in
  // the background, has no focus of its own: focus() would then fire no focus event, and a field
  // that a focus handler makes writable would stay read-only. Neither reply is waited for: the
  // session's later commands follow them in order, and a page that is stuck (a dialog showing, a
  // script that never yields) would answer neither.
  enablePage(conn, targetId, *sessionId);
  if (page) conn->post("Emulation.setFocusEmulationEnabled", Json{{"enabled", true}}, *sessionId);
  return pages_.keep(*conn, targetId, std::move(*sessionId));
}

void CDPBrowserController::enablePage(const Connection& conn, const std::string& targetId,
                                      const std::string& sessionId) {
  const CDPConnection* over = conn.get();
  conn->post("Page.enable", Json::object(), sessionId, [this, over, targetId, sessionId] {
    pages_.pageEnableAnswered(*over, targetId, sessionId);
  });
}

std::string CDPBrowserController::evalString(const Connection& conn, const std::string& js,
                                             const std::string& sessionId,
                                             std::chrono::milliseconds deadline) {
  const Json reply = conn->send("Runtime.evaluate", evaluation(js), sessionId, deadline);
  return LenientJson(reply)["result"]["value"].text();
}

std::string CDPBrowserController::evalInPage(const Connection& conn, ActivePage& page,
                                             const std::string& js,
                                             std::chrono::milliseconds deadline) {
  const Json reply = sendToPage(conn, page, "Runtime.evaluate", evaluation(js), deadline);
  return LenientJson(reply)["result"]["value"].text();
}

Json CDPBrowserController::sendToPage(const Connection& conn, ActivePage& page,
                                      std::string_view method, const Json& params,
                                      std::chrono::milliseconds deadline) {
  try {
    return conn->send(method, params, page.sessionId, deadline);
  } catch (const BrowserError& error) {
    if (!failedWith(error, "Session with given id not found")) throw;
  }
  pages_.forget(page.targetId, page.sessionId);
  std::optional<std::string> fresh = attach(conn, page.targetId, true);
  if (!fresh) throw BrowserError::cdpFailure("no page target");
  page.sessionId = std::move(*fresh);
  return conn->send(method, params, page.sessionId, deadline);
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

std::optional<CDPBrowserController::ActivePage> CDPBrowserController::activePage(
    const Connection& conn, Json* targets) {
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
      sessionId = attach(conn, targetId, true);
    } catch (const BrowserError& error) {
      // Closed between the list and the attach: no longer a page to choose.
      if (!failedWith(error, "No target with given id found")) throw;
    }
    if (sessionId)
      return ActivePage{targetId, std::move(*sessionId), LenientJson(*entry)["url"].text()};
  }
  return std::nullopt;
}

std::string CDPBrowserController::navigate(const std::string& url) {
  const Connection conn = ensureConnection();
  std::optional<ActivePage> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  failOnDialog(*page);
  // The session's Page domain was enabled when it was attached. A document that has not answered
  // that by now is stuck (a script that never yields): it reports no commit and answers no probe,
  // so the first document to answer one is the new one, which the browser gives the Page domain
  // only once it has committed.
  const bool stuck = !pages_.awaitPageEnabled(page->targetId, page->sessionId, kEnableWait);
  const Json started = sendToPage(conn, *page, "Page.navigate", Json{{"url", url}});
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
      const Json reply =
          sendToPage(conn, *page, "Runtime.evaluate", evaluation(kReadiness), deadline);
      const LenientJson shown = LenientJson(reply)["result"]["value"];
      if (shown["state"].text() == "complete" && committed()) {
        if (!pages_.pageEnabled(page->targetId, page->sessionId)) {
          enablePage(conn, page->targetId, page->sessionId);
        }
        return shown["href"].text();
      }
      if (committed() && !std::exchange(worldMade, true)) prepareWorld(conn, *page, deadline);
    } catch (const BrowserError& error) {
      // A page that answers slowly, or not yet, is not ready yet; a connection that has ended
      // fails the navigation.
      if (failedWith(error, "connection closed")) throw;
    }
    failOnDialog(*page);
    // The pause ends early, once, when the new document stops loading: its next probe then finds
    // it complete without waiting out the rest of the pause. A dialog also ends the pause.
    pages_.pauseForLoad(page->targetId, page->sessionId, loaderId, loadSeen, kReadinessPause);
  }
  return {};
}

std::string CDPBrowserController::currentURL() {
  const Connection conn = ensureConnection();
  std::optional<ActivePage> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  failOnDialog(*page);
  try {
    return evalInPage(conn, *page, "location.href", kProbeDeadline);
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
  std::optional<ActivePage> page = activePage(conn);
  if (!page) throw BrowserError::cdpFailure("no page target");
  Json params{{"accept", accept}};
  if (promptText) params["promptText"] = *promptText;
  // No Page.enable here: the session has it since it was attached, and sent again while a dialog
  // shows it would never be answered.
  try {
    sendToPage(conn, *page, "Page.handleJavaScriptDialog", params);
  } catch (const std::exception&) {
    // Whatever was thought open is not: the page serves the other tools again.
    pages_.clearDialog(page->targetId);
    throw BrowserError::cdpFailure("no open JS dialog on " + page->url + " — nothing to " +
                                   (accept ? "accept" : "dismiss"));
  }
}

void CDPBrowserController::failOnDialog(const ActivePage& target) {
  pages_.failOnDialog(target.targetId, target.sessionId);
}

}  // namespace varn::mcp
