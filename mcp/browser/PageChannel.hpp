#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CDPConnection.hpp"
#include "mcp/browser/LenientJson.hpp"
#include "mcp/browser/PageSessions.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The element a field search handed out, as the typing and submit find it again: its remote
// object in the controller's isolated world, the session that holds it, and what the fill was
// checked against. Immutable once handed out.
struct LocatedElement final : FieldHandle {
  std::weak_ptr<CDPConnection> connection;
  std::string targetId;
  std::string sessionId;
  std::string objectId;
  FillField field = FillField::username;
  std::string origin;
  std::string pageURL;
};

// The element of a match that a field search located; cdpFailure("no focused field") for a match
// without one.
[[nodiscard]] const LocatedElement& elementOf(const FieldMatch& match);

// A target the browser controller talks to: a page or a frame of its own, its flat session ("" when
// not attached yet), and the address the browser lists for it.
struct PageTarget {
  std::string targetId;
  std::string sessionId;
  std::string url;
};

// What a script or an expression in a page answered: the object it returned (by value, as JSON
// text, or as the plain members of an object handed out by reference), else an empty object; and
// the remote object of an object handed out by reference ("" otherwise), which is how a field
// search hands out the element it found.
struct ScriptReply {
  support::Json answer = support::Json::object();
  std::string handle;

  // The reply of a Runtime.callFunctionOn or Runtime.evaluate, in any of the shapes a call of
  // this channel gets it in.
  [[nodiscard]] static ScriptReply read(const support::Json& reply);

  // The member `key` of the answer.
  [[nodiscard]] LenientJson operator[](std::string_view key) const noexcept {
    return LenientJson(answer)[key];
  }
  // Which kind of answer it is: every script answers an object whose "answer" says so.
  [[nodiscard]] std::string kind() const { return (*this)["answer"].text(); }
};

// How the browser controller reaches into pages over one DevTools connection: attaching targets to
// flat sessions (and attaching a page afresh when the browser forgot its session), and calling the
// scripts of mcp/browser/scripts in the controller's own isolated world of each document
// ("Page.createIsolatedWorld"). Page script shares the DOM with such a world but none of its
// globals, prototypes or JSON, so it cannot change what a probe counts or reports, nor the native
// value setter the typing uses. Every answer comes back as one ScriptReply.
//
// Scripts are called on remote objects of the world (an object a first call answered, a located
// element); their ids carry the renderer's random isolate id, so an id left over from a replaced
// document can only fail, never reach another document's world. What it knows of sessions and
// worlds it keeps in the controller's PageSessions.
//
// Thread-safe, as PageSessions is; holds no lock across a DevTools command.
class PageChannel final {
 public:
  using Connection = std::shared_ptr<CDPConnection>;
  // The longest a script that must answer (a call on a located element, a focus) waits.
  static constexpr std::chrono::milliseconds kScriptDeadline{10000};

  explicit PageChannel(PageSessions& pages) : pages_(pages) {}
  PageChannel(const PageChannel&) = delete;
  PageChannel& operator=(const PageChannel&) = delete;

  // The session of the target: the kept one, else a new flat session with Page enabled (and, for a
  // `page`, focus emulated). nullopt when the attach reply carries no session id.
  std::optional<std::string> attach(const Connection& conn, const std::string& targetId,
                                    bool page = false);
  // Posts Page.enable in the target's session; its answer is noted with the session.
  void enablePage(const Connection& conn, const std::string& targetId,
                  const std::string& sessionId);
  // Sends a command in the page's session; when the browser no longer knows the session, the page
  // is attached afresh (page.sessionId updated) and the command sent once more.
  support::Json send(const Connection& conn, PageTarget& page, std::string_view method,
                     const support::Json& params,
                     std::chrono::milliseconds deadline = CDPConnection::kDefaultDeadline);
  // Evaluates `expression` in the page's own world, as send does, its answer by value.
  ScriptReply evaluate(const Connection& conn, PageTarget& page, const std::string& expression,
                       std::chrono::milliseconds deadline);

  // Calls `script` in this controller's isolated world of the target's frame `frameId` (made
  // afresh when the kept one is gone with its document), with `this` an object of that world. With
  // `gesture`, the call counts as the user's input (it activates the frame).
  ScriptReply call(const Connection& conn, const PageTarget& target, const std::string& frameId,
                   std::string_view script, const support::Json& arguments,
                   std::chrono::milliseconds deadline, bool gesture = false);
  // Calls `script` on the located element, by value and as the user's input, within
  // kScriptDeadline (cut to the call's budget, naming `step`). fieldChanged when the element is
  // gone with its document, session or browser; dialogOpen while its page shows a dialog.
  ScriptReply callOnElement(const Connection& conn, const LocatedElement& element,
                            std::string_view script, const support::Json& arguments,
                            std::string_view step);
  // Makes the isolated world of the target's main frame ahead of its first script call, while its
  // new document loads (the renderer then mostly waits on the network). Does nothing when the
  // session keeps one or shows a dialog; a failure leaves the world to be made by that call.
  void prepareWorld(const Connection& conn, const PageTarget& target,
                    std::chrono::milliseconds deadline) noexcept;

  // dialogOpen when the target's kept session has a JavaScript dialog open.
  void failOnDialog(const PageTarget& target) {
    pages_.failOnDialog(target.targetId, target.sessionId);
  }

 private:
  // Makes the world in the target's frame: the id of its execution context in the document there
  // now.
  std::int64_t newWorld(const Connection& conn, const PageTarget& target,
                        const std::string& frameId, std::chrono::milliseconds deadline);
  // Makes the world and makes `call` (a Runtime.callFunctionOn without its target) in it; an
  // object of that world in the reply is kept with the session as the world for later calls.
  ScriptReply callInNewWorld(const Connection& conn, const PageTarget& target,
                             const std::string& frameId, const support::Json& call,
                             std::chrono::milliseconds deadline);

  PageSessions& pages_;
};

// Whether a failed command means a deadline passed (the page did not answer in time).
[[nodiscard]] bool isTimeout(const BrowserError& error);
// Whether a command failed with `message`. The browser tells a session or a target it no longer
// knows ("Session with given id not found.", "No target with given id found") only by its error's
// message, under a code it uses for other failures too, and the connection reports its own end as
// "connection closed" to every command it fails: the text is the one signal there is.
[[nodiscard]] bool failedWith(const BrowserError& error, std::string_view message);

}  // namespace varn::mcp
