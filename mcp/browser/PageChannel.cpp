#include "mcp/browser/PageChannel.hpp"

#include "mcp/browser/CallBudget.hpp"

namespace varn::mcp {
namespace {

using support::Json;

// The isolated world's name: Chromium gives a frame's document one context per name, so every
// script of this controller in one document shares the same globals.
constexpr const char* kWorldName = "varn";
// The member that carries a script's text answer in the object of a world's first call.
constexpr const char* kTextMember = "varnText";

// The answer a JSON text holds, else an empty object.
Json answerOfText(const std::string& text) {
  std::optional<Json> parsed = support::parseJson(text);
  return parsed && parsed->is_object() ? std::move(*parsed) : Json::object();
}

}  // namespace

const LocatedElement& elementOf(const FieldMatch& match) {
  const auto* element = dynamic_cast<const LocatedElement*>(match.element.get());
  if (element == nullptr) throw BrowserError::cdpFailure("no focused field");
  return *element;
}

ScriptReply ScriptReply::read(const Json& reply) {
  const LenientJson result = LenientJson(reply)["result"];
  ScriptReply read;
  if (result["deepSerializedValue"]["type"].text() == "object") {
    // Pairs of a member's name and its serialized value; only plain values are kept.
    for (const Json& pair : result["deepSerializedValue"]["value"].array()) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_object()) {
        continue;
      }
      const auto value = pair[1].find("value");
      if (value != pair[1].end() &&
          (value->is_string() || value->is_number() || value->is_boolean())) {
        read.answer[pair[0].get<std::string>()] = *value;
      }
    }
    read.handle = result["objectId"].text();
    return read;
  }
  const LenientJson value = result["value"];
  if (value.isObject()) {
    read.answer = value.object();
  } else if (const std::optional<std::string> text = value.optionalText()) {
    read.answer = answerOfText(*text);
  }
  return read;
}

bool isTimeout(const BrowserError& error) {
  return error.errorCase() == BrowserError::Case::callTooLong ||
         error.errorCase() == BrowserError::Case::timedOut;
}

bool failedWith(const BrowserError& error, std::string_view message) {
  return error.errorCase() == BrowserError::Case::cdpFailure && error.text().starts_with(message);
}

std::optional<std::string> PageChannel::attach(const Connection& conn, const std::string& targetId,
                                               bool page) {
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

void PageChannel::enablePage(const Connection& conn, const std::string& targetId,
                             const std::string& sessionId) {
  const CDPConnection* over = conn.get();
  conn->post("Page.enable", Json::object(), sessionId, [this, over, targetId, sessionId] {
    pages_.pageEnableAnswered(*over, targetId, sessionId);
  });
}

Json PageChannel::send(const Connection& conn, PageTarget& page, std::string_view method,
                       const Json& params, std::chrono::milliseconds deadline) {
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

ScriptReply PageChannel::evaluate(const Connection& conn, PageTarget& page,
                                  const std::string& expression,
                                  std::chrono::milliseconds deadline) {
  return ScriptReply::read(send(conn, page, "Runtime.evaluate",
                                Json{{"expression", expression}, {"returnByValue", true}},
                                deadline));
}

// A world's context id serves once, right after the world is made: after a navigation to another
// process the same number can name that document's own world. Later calls go to an object of the
// world, whose id can only fail once the document is gone.
std::int64_t PageChannel::newWorld(const Connection& conn, const PageTarget& target,
                                   const std::string& frameId, std::chrono::milliseconds deadline) {
  const Json world =
      conn->send("Page.createIsolatedWorld", Json{{"frameId", frameId}, {"worldName", kWorldName}},
                 target.sessionId, CallBudget::clamp(deadline, "Page.createIsolatedWorld"));
  const std::optional<std::int64_t> context = LenientJson(world)["executionContextId"].integer();
  if (!context) throw BrowserError::cdpFailure("no isolated world in the session");
  return *context;
}

void PageChannel::prepareWorld(const Connection& conn, const PageTarget& target,
                               std::chrono::milliseconds deadline) noexcept {
  try {
    if (pages_.dialogOpen(target.targetId) ||
        !pages_.worldOf(target.targetId, target.sessionId, target.targetId).empty()) {
      return;
    }
    const std::int64_t context = newWorld(conn, target, target.targetId, deadline);
    const Json global =
        conn->send("Runtime.evaluate", Json{{"expression", "globalThis"}, {"contextId", context}},
                   target.sessionId, CallBudget::clamp(deadline, "Runtime.evaluate"));
    const std::string objectId = LenientJson(global)["result"]["objectId"].text();
    if (!objectId.empty()) {
      pages_.keepWorld(*conn, target.targetId, target.sessionId, target.targetId, objectId);
    }
  } catch (const std::exception&) {
  }
}

ScriptReply PageChannel::callInNewWorld(const Connection& conn, const PageTarget& target,
                                        const std::string& frameId, const Json& call,
                                        std::chrono::milliseconds deadline) {
  const std::int64_t context = newWorld(conn, target, frameId, deadline);
  // The function's text comes as an object, so that the reply holds one.
  Json first = call;
  first["functionDeclaration"] = "function(...args) {\nconst answer = (" +
                                 call.value("functionDeclaration", "") +
                                 "\n).apply(this, args);\nreturn typeof answer === 'string' ? "
                                 "{[" +
                                 Json(kTextMember).dump() + "]: answer} : answer;\n}";
  first["executionContextId"] = context;
  const Json reply = conn->send("Runtime.callFunctionOn", first, target.sessionId,
                                CallBudget::clamp(deadline, "Runtime.callFunctionOn"));
  const LenientJson result = LenientJson(reply)["result"];
  const std::string objectId = result["objectId"].text();
  if (!objectId.empty()) {
    pages_.keepWorld(*conn, target.targetId, target.sessionId, frameId, objectId);
  }
  // Only the world keeps the text's object: the caller reads the text, as from any later call.
  const Json& members = result["deepSerializedValue"]["value"].array();
  if (members.size() == 1 && members[0].is_array() && members[0].size() == 2 &&
      members[0][0] == kTextMember) {
    return ScriptReply{answerOfText(LenientJson(members[0][1])["value"].text()), ""};
  }
  return ScriptReply::read(reply);
}

ScriptReply PageChannel::call(const Connection& conn, const PageTarget& target,
                              const std::string& frameId, std::string_view script,
                              const Json& arguments, std::chrono::milliseconds deadline,
                              bool gesture) {
  // A returned object comes as a remote object with its plain members beside it; the element a
  // probe hands out is a hidden member, which no serialization holds.
  const Json call{{"functionDeclaration", script},
                  {"arguments", arguments},
                  {"serializationOptions", Json{{"serialization", "deep"}, {"maxDepth", 1}}},
                  {"userGesture", gesture}};
  const std::string world = pages_.worldOf(target.targetId, target.sessionId, frameId);
  if (!world.empty()) {
    try {
      Json onWorld = call;
      onWorld["objectId"] = world;
      return ScriptReply::read(conn->send("Runtime.callFunctionOn", onWorld, target.sessionId,
                                          CallBudget::clamp(deadline, "Runtime.callFunctionOn")));
    } catch (const BrowserError& error) {
      // A world of a document that has gone fails; one of the document there now is made.
      if (isTimeout(error)) throw;
    }
  }
  return callInNewWorld(conn, target, frameId, call, deadline);
}

ScriptReply PageChannel::callOnElement(const Connection& conn, const LocatedElement& element,
                                       std::string_view script, const Json& arguments,
                                       std::string_view step) {
  if (conn != element.connection.lock()) {
    throw BrowserError::fieldChanged("the browser was restarted");
  }
  pages_.failOnDialog(element.targetId, element.sessionId);
  try {
    return ScriptReply::read(conn->send("Runtime.callFunctionOn",
                                        Json{{"functionDeclaration", script},
                                             {"objectId", element.objectId},
                                             {"arguments", arguments},
                                             {"returnByValue", true},
                                             {"userGesture", true}},
                                        element.sessionId,
                                        CallBudget::clamp(kScriptDeadline, step)));
  } catch (const BrowserError& error) {
    if (isTimeout(error) || error.errorCase() != BrowserError::Case::cdpFailure) throw;
    // The object is gone with its document, or the frame with its session.
    throw BrowserError::fieldChanged("the page was reloaded or left");
  }
}

}  // namespace varn::mcp
