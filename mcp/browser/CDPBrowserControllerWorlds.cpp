// The isolated worlds of CDPBrowserController, in which every script it runs in a page runs
// ("Page.createIsolatedWorld"): page script shares the DOM with such a world but none of its
// globals, prototypes or JSON, so it cannot change what a probe counts or reports, nor the native
// value setter the typing uses. Scripts are called on remote objects of that world (its global
// object, an answer of a first call, a located element); their ids carry the renderer's random
// isolate id, so an id left over from a replaced document can only fail, never reach another
// document's world.

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/FieldElement.hpp"
#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {
namespace {

using support::Json;

// The isolated world's name: Chromium gives a frame's document one context per name, so every
// script of this controller in one document shares the same globals.
constexpr const char* kWorldName = "varn";
// The member that carries a script's text answer in the object of a world's first call.
constexpr const char* kTextMember = "varnText";

}  // namespace

// A world's context id serves once, right after the world is made: after a navigation to another
// process the same number can name that document's own world. Later calls go to an object of the
// world, whose id can only fail once the document is gone.
std::int64_t CDPBrowserController::newWorld(const Connection& conn, const ActivePage& target,
                                            const std::string& frameId,
                                            std::chrono::milliseconds deadline) {
  const Json world =
      conn->send("Page.createIsolatedWorld", Json{{"frameId", frameId}, {"worldName", kWorldName}},
                 target.sessionId, CallBudget::clamp(deadline, "Page.createIsolatedWorld"));
  const std::optional<std::int64_t> context = LenientJson(world)["executionContextId"].integer();
  if (!context) throw BrowserError::cdpFailure("no isolated world in the session");
  return *context;
}

void CDPBrowserController::prepareWorld(const Connection& conn, const ActivePage& target,
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

Json CDPBrowserController::callInNewWorld(const Connection& conn, const ActivePage& target,
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
  Json reply = conn->send("Runtime.callFunctionOn", first, target.sessionId,
                          CallBudget::clamp(deadline, "Runtime.callFunctionOn"));
  const LenientJson result = LenientJson(reply)["result"];
  const std::string objectId = result["objectId"].text();
  if (!objectId.empty()) {
    pages_.keepWorld(*conn, target.targetId, target.sessionId, frameId, objectId);
  }
  // Only the world keeps the text's object: the caller sees the text, as from any later call.
  const Json& members = result["deepSerializedValue"]["value"].array();
  if (members.size() == 1 && members[0].is_array() && members[0].size() == 2 &&
      members[0][0] == kTextMember) {
    reply["result"] =
        Json{{"type", "string"}, {"value", LenientJson(members[0][1])["value"].text()}};
  }
  return reply;
}

Json CDPBrowserController::callInWorld(const Connection& conn, const ActivePage& target,
                                       const std::string& frameId, const std::string& function,
                                       const Json& arguments, std::chrono::milliseconds deadline,
                                       bool gesture) {
  // A returned object comes as a remote object with its plain members beside it; the element a
  // probe hands out is a hidden member, which no serialization holds.
  const Json call{{"functionDeclaration", function},
                  {"arguments", arguments},
                  {"serializationOptions", Json{{"serialization", "deep"}, {"maxDepth", 1}}},
                  {"userGesture", gesture}};
  const std::string world = pages_.worldOf(target.targetId, target.sessionId, frameId);
  if (!world.empty()) {
    try {
      Json onWorld = call;
      onWorld["objectId"] = world;
      return conn->send("Runtime.callFunctionOn", onWorld, target.sessionId,
                        CallBudget::clamp(deadline, "Runtime.callFunctionOn"));
    } catch (const BrowserError& error) {
      // A world of a document that has gone fails; one of the document there now is made.
      if (isTimeout(error)) throw;
    }
  }
  return callInNewWorld(conn, target, frameId, call, deadline);
}

}  // namespace varn::mcp
