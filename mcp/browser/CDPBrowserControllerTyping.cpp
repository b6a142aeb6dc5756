// The typing and submit of CDPBrowserController, on the element a field search handed out. The
// typing is one synchronous function on that element (through the record of the controller's
// isolated world that holds it): it re-checks the element, the focus and its document's origin and
// sets the value, so no page script runs between the checks and the value. Typing and submitting
// count as the user's own input, as they would for a person.
//
// What a submission does with a typed value is judged in the page, by the guard the typing leaves
// in the element's document (scripts/guard.js) with the value's binding: whoever sets it off,
// after the page's own handlers, before anything is sent. The binding travels with the typing
// call, so judging costs no DevTools command of its own.

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/FieldElement.hpp"
#include "mcp/browser/LenientJson.hpp"
#include "mcp/browser/PageScripts.hpp"

namespace varn::mcp {
namespace {

using support::Json;

// How long a submit waits for the document it may replace to go.
constexpr std::chrono::milliseconds kSubmitWindow{1000};

// The scripts that type, clear and submit, each joined to the guard at build time and called on
// the located element.
const std::string kType(scripts::type);
const std::string kClear(scripts::clear);
const std::string kSubmit(scripts::submit);
const std::string kOutcome(scripts::outcome);

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

Json CDPBrowserController::callOnElement(const FieldMatch& match, const std::string& function,
                                         const Json& arguments, std::string_view step) {
  const LocatedElement& element = elementOf(match);
  const Connection conn = ensureConnection();
  if (conn != element.connection.lock()) {
    throw BrowserError::fieldChanged("the browser was restarted");
  }
  failOnDialog(ActivePage{element.targetId, element.sessionId, ""});
  try {
    return conn->send("Runtime.callFunctionOn",
                      Json{{"functionDeclaration", function},
                           {"objectId", element.objectId},
                           {"arguments", arguments},
                           {"returnByValue", true},
                           {"userGesture", true}},
                      element.sessionId, CallBudget::clamp(kProbeDeadline, step));
  } catch (const BrowserError& error) {
    if (isTimeout(error) || error.errorCase() != BrowserError::Case::cdpFailure) throw;
    // The object is gone with its document, or the frame with its session.
    throw BrowserError::fieldChanged("the page was reloaded or left");
  }
}

void CDPBrowserController::typeInto(const FieldMatch& match, const std::string& text,
                                    const FillBinding& binding) {
  const LocatedElement& element = elementOf(match);
  const Json answer = scriptAnswer(callOnElement(
      match, kType,
      Json::array({Json{{"value", text}}, Json{{"value", toString(element.field)}},
                   Json{{"value", element.origin}}, Json{{"value", bindingJson(binding)}}}),
      "the typing"));
  const LenientJson typed(answer);
  const std::string kind = typed["answer"].text();
  if (kind == "opaque") throw BrowserError::opaqueOrigin(element.origin);
  if (kind == "origin") throw BrowserError::originMismatch(element.origin, typed["origin"].text());
  if (kind == "changed") throw BrowserError::fieldChanged(typed["what"].text());
  if (kind != "typed") throw BrowserError::fieldChanged("the page changed the field");
}

void CDPBrowserController::clearField(const FieldMatch& match) {
  try {
    (void)callOnElement(match, kClear, Json::array(), "clearing the field");
  } catch (const std::exception&) {
    // Gone with its document: nothing left to clear.
  }
}

bool CDPBrowserController::submit(const FieldMatch& match) {
  const LocatedElement& element = elementOf(match);
  const Connection conn = ensureConnection();
  const std::string loaderBefore = pages_.loaderOf(element.targetId);
  Json answer = scriptAnswer(callOnElement(match, kSubmit, Json::array(), "the submit"));
  std::string kind = LenientJson(answer)["answer"].text();
  bool submitted = kind == "submitted" || kind == "clicked";
  if (kind == "none" || kind.empty()) {
    pressEnter(conn, element.sessionId);
    // Only what the document's guard saw tells whether the key press submitted anything; a page
    // whose script acted on the key may have left the document already, which the key led to.
    try {
      answer = scriptAnswer(callOnElement(match, kOutcome, Json::array(), "the submit"));
      kind = LenientJson(answer)["answer"].text();
    } catch (const BrowserError& error) {
      if (error.errorCase() != BrowserError::Case::fieldChanged) throw;
      kind = "taken";
    }
    submitted = kind == "started" || kind == "taken";
  }
  if (kind == "refused") throw BrowserError::submitRefused(LenientJson(answer)["reason"].text());
  // The next operation acts on the page the submit led to, not on the one it left.
  pages_.awaitDocument(
      element.targetId, element.sessionId, loaderBefore, kSubmitWindow,
      kReadinessPolls * kReadinessPause, [&] {
        prepareWorld(conn, ActivePage{element.targetId, element.sessionId, ""}, kReadinessProbe);
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
