#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "mcp/browser/CDPConnection.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// What the browser controller knows of the page targets it attached on its current DevTools
// connection: each target's flat session, the JavaScript dialog it shows, the document last
// committed in its main frame and whether that has stopped loading, the isolated worlds made in
// its frames; and the targets closeTab closed that the browser may still list a moment longer.
// Kept up to date by the connection's events (onEvent), and waited on by the operations that need
// a document or a dialog to change.
//
// Everything recorded belongs to the one bound connection (bind): events of any other connection
// are ignored, and so is a record a caller makes for another one (a call that raced a browser
// restart keeps nothing of the dead browser).
//
// Thread-safe. The waits hold only this unit's own lock, which is never held across a DevTools
// command; the callers' locks may be held around any call but a wait.
class PageSessions final {
 public:
  // The flat session of one page target.
  struct Session {
    std::string id;
    bool dialogOpen = false;  // between Page.javascriptDialogOpening and ...Closed
    std::string dialogType;   // of the open dialog: "alert", "confirm", "prompt", "beforeunload"
    std::string dialogMessage;
    std::string loaderId;  // of the last document committed in the main frame
    bool loaded = false;   // whether that document has stopped loading
    // Whether the session's Page.enable has been answered: only then does a commit report itself.
    bool pageEnabled = false;
    // Frame id -> remote object id of the global of the controller's isolated world in the
    // frame's document (the main frame's id is the target's).
    std::map<std::string, std::string> worlds;
  };

  PageSessions() = default;
  PageSessions(const PageSessions&) = delete;
  PageSessions& operator=(const PageSessions&) = delete;

  // Makes `connection` (nullptr: none) the one whose sessions are kept, forgetting every session
  // and closed target recorded before. The connection must outlive its binding.
  void bind(const CDPConnection* connection);

  // Records one DevTools event that came over `from` (on its I/O thread): a detached or destroyed
  // target loses its session; a dialog opening or closing, a main-frame commit (which also ends
  // the document's worlds), a child frame's commit (which ends that frame's world) and a main
  // frame that stopped loading update the session, and wake the waits.
  void onEvent(const CDPConnection& from, const support::Json& event);

  // The session kept for the target, when `connection` is the bound one.
  [[nodiscard]] std::optional<std::string> sessionOf(const CDPConnection& connection,
                                                     const std::string& targetId);
  // Keeps `sessionId` as the target's session unless one is kept already (of two calls attaching
  // the same page at once, the first wins) and returns the kept one; keeps nothing and returns
  // `sessionId` when `connection` is not the bound one.
  std::string keep(const CDPConnection& connection, const std::string& targetId,
                   std::string sessionId);
  // Forgets the target's session when it is still `sessionId` (the browser no longer knows it).
  void forget(const std::string& targetId, const std::string& sessionId);
  // Forgets the sessions and closed marks of targets missing from `targetInfos` (the array of a
  // target list as the browser reports it now), when `connection` is the bound one.
  void forgetVanished(const CDPConnection& connection, const support::Json& targetInfos);

  // Marks the target as closed by closeTab, when `connection` is the bound one: the browser
  // confirms a close before the target leaves its list.
  void markClosed(const CDPConnection& connection, const std::string& targetId);
  // The targets marked closed and still listed.
  [[nodiscard]] std::set<std::string> closedTargets();

  // Whether the target's kept session shows a JavaScript dialog.
  [[nodiscard]] bool dialogOpen(const std::string& targetId);
  // BrowserError::dialogOpen (with the dialog's type and message) when the target's kept session
  // is `sessionId` and shows a JavaScript dialog.
  void failOnDialog(const std::string& targetId, const std::string& sessionId);
  // Takes the target's dialog for answered.
  void clearDialog(const std::string& targetId);

  // Takes the Page.enable of the target's session `sessionId` for answered, when `connection` is
  // the bound one (also before keep() has kept the session).
  void pageEnableAnswered(const CDPConnection& connection, const std::string& targetId,
                          const std::string& sessionId);
  // Whether the target's kept session `sessionId` has had its Page.enable answered.
  [[nodiscard]] bool pageEnabled(const std::string& targetId, const std::string& sessionId);
  // pageEnabled, waiting for it at most `window` (cut to the calling thread's CallBudget, whose
  // callTooLong passes through); ends early when the session goes or shows a dialog.
  [[nodiscard]] bool awaitPageEnabled(const std::string& targetId, const std::string& sessionId,
                                      std::chrono::milliseconds window);

  // The loader of the document last committed in the target's main frame ("" when unknown).
  [[nodiscard]] std::string loaderOf(const std::string& targetId);
  // True unless the target's kept session is `sessionId` and has not committed `loaderId` (a
  // session gone or replaced has nothing left to wait for).
  [[nodiscard]] bool committed(const std::string& targetId, const std::string& sessionId,
                               const std::string& loaderId);

  // The kept isolated world of the target's frame in the session `sessionId` ("" when none).
  [[nodiscard]] std::string worldOf(const std::string& targetId, const std::string& sessionId,
                                    const std::string& frameId);
  // Keeps `objectId` as the world of the target's frame, when `connection` is the bound one and
  // the target's kept session is still `sessionId`.
  void keepWorld(const CDPConnection& connection, const std::string& targetId,
                 const std::string& sessionId, const std::string& frameId, std::string objectId);

  // One readiness pause of a navigation: waits at most `pause`, ending early when the target's
  // session `sessionId` shows a dialog, or, the first time only (`loadSeen` false, then set), when
  // its document `loaderId` (any, without one) has stopped loading. The pause is cut to the
  // calling thread's CallBudget (whose callTooLong passes through).
  void pauseForLoad(const std::string& targetId, const std::string& sessionId,
                    const std::optional<std::string>& loaderId, bool& loadSeen,
                    std::chrono::milliseconds pause);
  // Waits until a document other than `loaderBefore` commits in the target's main frame, for at
  // most `window`, and then (after calling `committed`, when given) until it has stopped loading,
  // for at most `loadWindow`, both counted from the call and cut to the calling thread's
  // CallBudget (whose callTooLong passes through); ends at once when the session `sessionId` goes
  // or a dialog opens.
  void awaitDocument(const std::string& targetId, const std::string& sessionId,
                     const std::string& loaderBefore, std::chrono::milliseconds window,
                     std::chrono::milliseconds loadWindow,
                     const std::function<void()>& committed = {});

 private:
  using Sessions = std::map<std::string, Session>;

  // The target's session when it is still `sessionId`, else null. Requires mutex_.
  Session* keptLocked(const std::string& targetId, const std::string& sessionId);
  // The session whose id is `sessionId`, else sessions_.end(). Requires mutex_.
  Sessions::iterator bySessionLocked(const std::optional<std::string>& sessionId);
  // Waits until `until` for the target's session `sessionId` to go, show a dialog or satisfy
  // `done`; whether one of them happened.
  bool waitUntil(const std::string& targetId, const std::string& sessionId,
                 std::chrono::steady_clock::time_point until,
                 const std::function<bool(const Session&)>& done);

  std::mutex mutex_;
  const CDPConnection* bound_ = nullptr;  // guarded by mutex_
  Sessions sessions_;                     // target id -> session; guarded by mutex_
  std::set<std::string> closed_;          // guarded by mutex_
  // Sessions whose Page.enable was answered before keep() kept them; guarded by mutex_.
  std::set<std::string> enabledEarly_;
  // Notified whenever a session's document, loading state or dialog changes.
  std::condition_variable changed_;
};

}  // namespace varn::mcp
