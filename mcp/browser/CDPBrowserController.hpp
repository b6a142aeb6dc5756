#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/BrowserManager.hpp"
#include "mcp/browser/CDPConnection.hpp"
#include "mcp/browser/FieldSearch.hpp"
#include "mcp/browser/IdleClock.hpp"
#include "mcp/browser/IdleWatchdog.hpp"
#include "mcp/browser/PageChannel.hpp"
#include "mcp/browser/PageSessions.hpp"
#include "mcp/browser/TargetList.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The BrowserController of the one dedicated browser, driven over the DevTools Protocol on the
// browser's private pipe (the manager's connection of the browser run), taken up by the first
// operation that needs it and dropped by stop() (or when start() launches a new browser process).
//
// The page the agent works on is the tab it activated last (browser_tabs), unless a page has
// opened since; otherwise the page in front, a tab opened later coming before those opened earlier
// (see TargetList; the browser's list order when the list is not kept). Pages whose URL starts
// with "chrome://", "chrome-extension://", "devtools://" or "about:" are passed over while an
// ordinary page exists, unless the agent activated one, and targets that are not of type "page"
// ("browser_ui", workers, frames) never count. Visibility does not count: every headless tab
// reports itself visible. Nothing is asked of the other tabs, so a tab that hangs or loops costs
// the choice nothing. Each page target gets one flat session, with the Page domain enabled as it is
// attached, so that dialogs it opens later can be answered; the session is reused by every later
// operation until the browser reports it detached ("Target.detachedFromTarget", or a "Session with
// given id not found" error), when the page is attached afresh.
//
// The field search is FieldSearch's, in the page chosen here; every target is attached, and every
// script called in a page and its answer read, by the PageChannel. Typing and submitting are script
// calls on the element the search handed out.
//
// Every DevTools command has a deadline (kCommandDeadline; the readiness probe kProbeDeadline), so
// no operation waits for ever; a page blocked by an open alert() answers no evaluation, and
// handleDialog still answers the dialog meanwhile.
//
// An idle watchdog stops the browser once the agent has not used it for the idle window (see
// IdleWatchdog): every operation that talks to the browser counts as use, and so does a tool call
// in progress (beginUse) and, with a DevTools port, a client connected to it.
//
// Thread-safe: any number of tool calls may run at once. No lock is held across a DevTools or
// HTTP wait or a browser start or stop, so the steps of different calls interleave; each call
// reads the shared state afresh after every wait.
class CDPBrowserController final : public BrowserController {
 public:
  static constexpr std::chrono::milliseconds kCommandDeadline = CDPConnection::kDefaultDeadline;
  static constexpr std::chrono::milliseconds kProbeDeadline = PageChannel::kScriptDeadline;
  // How long a navigation waits for the page session's Page.enable to be answered, which a page
  // that answers anything at all does at once.
  static constexpr std::chrono::milliseconds kEnableWait{1000};
  // Target discovery on a new connection: a browser that does not answer in time is asked for its
  // target list each time instead.
  static constexpr std::chrono::milliseconds kDiscoveryDeadline{2000};
  // Readiness polling after a navigation: at most this many probes, this far apart.
  static constexpr int kReadinessPolls = 75;
  static constexpr std::chrono::milliseconds kReadinessPause{200};
  // The longest a readiness probe waits for its answer.
  static constexpr std::chrono::milliseconds kReadinessProbe{1000};

  // `manager` must not be null; the controller takes its events. `idleTimeout`: the default idle
  // window (zero or less: no automatic stop). `clock`: the watchdog's clock. Sends nothing and
  // starts nothing.
  CDPBrowserController(std::shared_ptr<BrowserManager> manager, std::chrono::seconds idleTimeout,
                       std::shared_ptr<IdleClock> clock = bootClock());
  // Ends the watchdog and stops the browser: its events would come to a controller that is gone.
  ~CDPBrowserController() override;
  CDPBrowserController(const CDPBrowserController&) = delete;
  CDPBrowserController& operator=(const CDPBrowserController&) = delete;

  bool isRunning() override;
  // Starts the browser unless it runs, marks activity and (re)starts the idle watch. When a new
  // browser process was launched, the connection to an earlier one is dropped. The port is the
  // manager's (0 without one). The manager's errors pass through unchanged.
  StartResult start(bool headless) override;
  // Ends the idle watch, drops the connection, clears the focus and the sessions, and stops the
  // browser (bounded; see BrowserManager). Keeps the idle override and the last activity.
  void stop() override;

  // Loads `url` (unchanged) in the chosen page and polls document.readyState until the new
  // document (once the browser reports it committed) is "complete", at most kReadinessPolls times
  // kReadinessPause apart (and for about that long in all, however slowly the probes answer). A
  // page that never completes is no error; a connection that ends meanwhile is. The complete
  // document's location.href, read by the probe that found it complete; "" when none did.
  // cdpFailure("no page target") without a page.
  std::string navigate(const std::string& url) override;
  // location.href of the chosen page; "" when the evaluation fails. cdpFailure("no page target").
  std::string currentURL() override;

  // Counts the visible matches of the field's selectors (or `selector`) in the chosen page, in
  // the frame targets of that page, and in the frames each of them keeps in its own process,
  // side by side in an isolated world per document, within one search deadline; the frame origin is
  // the origin of the first match's own document ("null" when opaque). A single match is focused
  // and handed to the caller as the match's element. ToolError::invalidArguments for `custom`
  // without a selector, before anything is sent; dialogOpen while a JavaScript dialog is open on
  // the page or one of its frames; a frame that cannot be searched in time counts nothing.
  FieldMatch locateField(FillField field, const std::optional<std::string>& selector) override;
  // One search, as locateField's, for the selectors of all `kinds` together, which focuses nothing
  // and in which the page's main document also tells its address (the target's listed address
  // when it does not answer).
  PageShown shownPage(std::span<const FillField> kinds) override;
  // See BrowserController: one synchronous isolated-world function on the element's own remote
  // object checks it and sets the value. cdpFailure("no focused field") for a match without an
  // element of this controller; fieldChanged when the element's document is gone.
  void typeInto(const FieldMatch& match, const std::string& text,
                const FillBinding& binding) override;
  // Submits as BrowserController says, then waits for the document the submit leads to: up to a
  // second for one to commit, then until it has loaded (within the readiness budget).
  bool submit(const FieldMatch& match) override;
  void clearField(const FieldMatch& match) override;

  // Replaces the idle window (nullopt: back to the default); applied by the next start().
  void setIdleTimeout(std::optional<std::int64_t> seconds) override;
  BrowserUse beginUse() override;
  // Every target of type "page" in the browser's order (but those closeTab closed), with the
  // chosen page marked active and moved first. Attaches nothing.
  std::vector<TabInfo> listTabs() override;
  // Target.activateTarget / Target.closeTarget with the id unchanged; an activated tab is the
  // chosen page from now on (until a page opens), whatever its address.
  void activateTab(const std::string& id) override;
  void closeTab(const std::string& id) override;
  // Answers the open dialog of the chosen page through its session. Any failure is
  // cdpFailure("no open JS dialog on <page url> — nothing to accept|dismiss").
  void handleDialog(bool accept, const std::optional<std::string>& promptText) override;

 private:
  using Connection = PageChannel::Connection;

  // The connection of this browser run, taken from the manager on first use. Marks activity
  // first, always.
  Connection ensureConnection();
  // Has the browser report its targets to targets_ from now on (nothing when it cannot).
  void discoverTargets(const Connection& conn);
  // The browser's targets, as a Target.getTargets reply: from targets_ when it lists them, else
  // asked of the browser.
  support::Json targetList(const Connection& conn);
  // The pages of `targetInfos` (a Target.getTargets reply's array) in the order the page the agent
  // works on is chosen from: the tab the agent activated, then the ordinary pages in list order,
  // and only when there is none of these the background pages; pages closeTab closed and entries
  // without an id are left out.
  std::vector<const support::Json*> pageOrder(const Connection& conn,
                                              const support::Json& targetInfos);
  // The page the agent works on, the first of pageOrder that can be attached (attaching it);
  // nullopt when there is none. With `targets`, the target list it read goes there.
  std::optional<PageTarget> activePage(const Connection& conn, support::Json* targets = nullptr);
  // Presses and releases Enter in the session, as the user's own key press (with its character, so
  // that the page also sees a keypress).
  void pressEnter(const Connection& conn, const std::string& sessionId);
  // Drops the connection and everything tied to it (the manager closes it). Requires mutex_.
  void dropConnectionLocked();

  const std::shared_ptr<BrowserManager> manager_;

  std::mutex mutex_;
  Connection connection_;         // guarded by mutex_
  std::uint64_t generation_ = 0;  // guarded by mutex_; counts dropped connections
  // The sessions of connection_'s pages, bound to it under mutex_.
  PageSessions pages_;
  // The targets connection_'s browser reports, bound to it under mutex_.
  TargetList targets_;
  PageChannel channel_{pages_};   // over pages_
  FieldSearch search_{channel_};  // through channel_

  // Last: destroyed first, so its thread never outlives what the idle action uses.
  IdleWatchdog watchdog_;
};

}  // namespace varn::mcp
