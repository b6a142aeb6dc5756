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
#include "mcp/browser/IdleClock.hpp"
#include "mcp/browser/IdleWatchdog.hpp"
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
// the choice nothing. Each page target gets one flat session, with the
// Page domain enabled as it is attached, so that dialogs it opens later can be answered; the
// session is reused by every later operation until the browser reports it detached
// ("Target.detachedFromTarget", or a "Session with given id not found" error), when the page is
// attached afresh.
//
// Every DevTools command has a deadline (kCommandDeadline; the readiness and location.href probes
// kProbeDeadline), so no operation waits for ever; a page blocked by an open
// alert() answers no evaluation, and handleDialog still answers the dialog meanwhile.
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
  static constexpr std::chrono::milliseconds kProbeDeadline{10000};
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
  // The most frames of one target a field search looks into besides its main frame.
  static constexpr std::size_t kMaxFrames = 32;

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
  struct ActivePage {
    std::string targetId;
    std::string sessionId;
    std::string url;
  };
  using Connection = std::shared_ptr<CDPConnection>;

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
  std::optional<ActivePage> activePage(const Connection& conn, support::Json* targets = nullptr);
  // The session of the target: the kept one, else a new flat session with Page enabled (and, for a
  // `page`, focus emulated). nullopt when the attach reply carries no session id.
  std::optional<std::string> attach(const Connection& conn, const std::string& targetId,
                                    bool page = false);
  // Posts Page.enable in the target's session; its answer is noted with the session.
  void enablePage(const Connection& conn, const std::string& targetId,
                  const std::string& sessionId);
  // Runtime.evaluate with returnByValue; the string value, or "" for any other result.
  std::string evalString(const Connection& conn, const std::string& js,
                         const std::string& sessionId,
                         std::chrono::milliseconds deadline = kCommandDeadline);
  // evalString in the page's session, through sendToPage.
  std::string evalInPage(const Connection& conn, ActivePage& page, const std::string& js,
                         std::chrono::milliseconds deadline);
  // Sends a command in the page's session; when the browser no longer knows the session, the page
  // is attached afresh (page.sessionId updated) and the command sent once more.
  support::Json sendToPage(const Connection& conn, ActivePage& page, std::string_view method,
                           const support::Json& params,
                           std::chrono::milliseconds deadline = kCommandDeadline);

  // The frame targets a field search looks into besides the page: every frame target of the
  // target list (as a Target.getTargets reply) whose parent chain reaches the page.
  static std::vector<std::string> frameTargets(const support::Json& targets,
                                               const ActivePage& page);
  // The frames, other than its main frame, that the target's renderer holds in the target's own
  // process (same-site frames, and same-origin ones), depth first, at most kMaxFrames.
  std::vector<std::string> childFrames(const Connection& conn, const ActivePage& target,
                                       std::chrono::milliseconds deadline);
  // Makes this controller's isolated world in the target's frame `frameId`: the id of its
  // execution context in the document there now.
  std::int64_t newWorld(const Connection& conn, const ActivePage& target,
                        const std::string& frameId, std::chrono::milliseconds deadline);
  // Makes the isolated world of the target's main frame ahead of its first script call, while its
  // new document loads (the renderer then mostly waits on the network), and keeps its global
  // object with the session. Does nothing when the session keeps one or shows a dialog; a failure
  // leaves the world to be made by that call.
  void prepareWorld(const Connection& conn, const ActivePage& target,
                    std::chrono::milliseconds deadline) noexcept;
  // Makes this controller's isolated world in the target's frame `frameId` and makes `call` (a
  // Runtime.callFunctionOn without its target) on its global object; an object of that world in
  // the reply is kept with the session as the world for later calls.
  support::Json callInNewWorld(const Connection& conn, const ActivePage& target,
                               const std::string& frameId, const support::Json& call,
                               std::chrono::milliseconds deadline);
  // Runtime.callFunctionOn of `function` in the isolated world of the target's frame `frameId`
  // (made afresh when the kept one is gone with its document), with `this` an object of that
  // world: a value returned comes by value, an object as a remote object with its plain members
  // (scriptAnswer). With `gesture`, the call counts as the user's input (it activates the frame).
  support::Json callInWorld(const Connection& conn, const ActivePage& target,
                            const std::string& frameId, const std::string& function,
                            const support::Json& arguments, std::chrono::milliseconds deadline,
                            bool gesture = false);
  // What one frame answered a field search: where it was asked, how many visible matches its
  // document holds, how many frame elements (iframe, frame, object, embed), and the first match's
  // type and its document's origin (a frame that found nothing answers zeros and ""); the remote
  // object holding the match when the probe focused and handed it out ("" when not).
  struct FrameAnswer {
    ActivePage target;
    std::string frameId;
    std::int64_t count = 0;
    std::int64_t frames = 0;
    std::string type;
    std::string origin;
    std::string href;  // the document's address; "" but in the top document
    std::string handle;
  };
  // The chosen page and the answers of searchFrames for `selectors` in it and its frame targets;
  // nullopt without a page. With `handOut`, a page without frames also focuses and hands out its
  // single match in the same probe. dialogOpen when the page shows a dialog.
  std::optional<std::pair<ActivePage, std::vector<FrameAnswer>>> searchPage(
      const Connection& conn, const std::string& selectors, bool handOut);
  // Probes the page (its main document with the arguments `ofPage`), then the frame targets
  // `frames` (probeFrameTargets), within one search deadline; the answers of all, the page's
  // first. dialogOpen when any of them shows a dialog; a timeout when the page itself does not
  // answer.
  std::vector<FrameAnswer> searchFrames(const Connection& conn, const ActivePage& page,
                                        const std::vector<std::string>& frames,
                                        const support::Json& ofPage,
                                        const support::Json& arguments);
  // Probes the frame targets `frames` (probeTarget), at most kMaxProbes at once on threads that
  // share the calling thread's CallBudget, until `end`; the answers per frame, in the order of
  // `frames` (empty for a frame not reached). Blocks until every prober has ended. dialogOpen
  // when any of them shows a dialog.
  std::vector<std::vector<FrameAnswer>> probeFrameTargets(
      const Connection& conn, const std::vector<std::string>& frames,
      const support::Json& arguments, std::chrono::steady_clock::time_point end);
  // Runs the probe script with `ofMain` in the target's main frame (attaching it first when it
  // has no session yet) and, when that document holds frames, with `arguments` in each of
  // childFrames; every wait ends by `end`. A frame that fails answers nothing and a timed-out one
  // ends the target's search; dialogOpen passes through, and so does a timeout of the page
  // (`isPage`) before it answered anything.
  std::vector<FrameAnswer> probeTarget(const Connection& conn, ActivePage target,
                                       const support::Json& ofMain, const support::Json& arguments,
                                       std::chrono::steady_clock::time_point end, bool isPage);
  // One probe script call in the target's frame `frameId`; its failures pass through.
  FrameAnswer askFrame(const Connection& conn, const ActivePage& target, const std::string& frameId,
                       const support::Json& arguments, std::chrono::milliseconds deadline);
  // Focuses the single match of `selectors` in the frame that found it and hands out its element;
  // null when the frame no longer holds exactly one.
  std::shared_ptr<const FieldHandle> focusSingle(const Connection& conn, const FrameAnswer& hit,
                                                 FillField field, const std::string& selectors,
                                                 const std::string& pageURL);
  // The element of `hit` that the remote object `handle` holds, as a match hands it out.
  std::shared_ptr<const FieldHandle> located(const Connection& conn, const FrameAnswer& hit,
                                             FillField field, const std::string& handle,
                                             const std::string& pageURL);
  // Runtime.callFunctionOn of `function` on the match's element, by value and as the user's
  // input; fieldChanged when the element is gone with its document, session or browser.
  support::Json callOnElement(const FieldMatch& match, const std::string& function,
                              const support::Json& arguments, std::string_view step);
  // Presses and releases Enter in the session, as the user's own key press (with its character, so
  // that the page also sees a keypress).
  void pressEnter(const Connection& conn, const std::string& sessionId);
  // dialogOpen when the target's kept session has a JavaScript dialog open.
  void failOnDialog(const ActivePage& target);
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

  // Last: destroyed first, so its thread never outlives what the idle action uses.
  IdleWatchdog watchdog_;
};

}  // namespace varn::mcp
