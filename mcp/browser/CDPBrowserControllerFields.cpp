// The field operations of CDPBrowserController: locating a credential field in the page and its
// frames, typing into the located element, and submitting its form and waiting for the document
// the submit leads to. The scripts they run in pages are mcp/browser/scripts/*.js, embedded at
// build time; each answers a JSON object whose "answer" says which kind of answer it is.
//
// Every script runs in an isolated world of this controller ("Page.createIsolatedWorld"): page
// script shares the DOM with it but none of its globals, prototypes or JSON, so it cannot change
// what a probe counts or reports, nor the native value setter the typing uses. Scripts are called
// on remote objects of that world (its global object, a located element); their ids carry the
// renderer's random isolate id, so an id left over from a replaced document can only fail, never
// reach another document's world.
//
// A field search runs in the page and in every frame target of that page (never the frames of
// other tabs), side by side, and in each of them also in every frame that Chromium keeps in the
// target's own process (same-site frames, same-origin ones), each in its own isolated world, all
// within one search deadline. Only a single visible match is focused;
// the caller gets that element's own remote object, so concurrent calls never share a mark. The
// typing is one synchronous function on that object: it re-checks the element, the focus and its
// document's origin and sets the value, so no page script runs between the checks and the value.
// Focusing, typing and submitting count as the user's own input, as they would for a person.
//
// What a submission does with a typed value is judged in the page, by the guard the typing leaves
// in the element's document (scripts/guard.js), when the submission would leave: whoever sets it
// off, after the page's own handlers, before anything is sent.

#include <algorithm>
#include <atomic>
#include <future>
#include <map>

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/LenientJson.hpp"
#include "mcp/browser/PageScripts.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

// The isolated world's name: Chromium gives a frame's document one context per name, so every
// script of this controller in one document shares the same globals.
constexpr const char* kWorldName = "varn";

// One field search, over all frames together; a frame that has not answered by then counts
// nothing.
constexpr std::chrono::milliseconds kSearchDeadline{5000};
// The most targets one field search probes at once (the page's own included), so that a page with
// hundreds of frames costs no more threads than this.
constexpr std::size_t kMaxProbes = 16;
// How long a submit waits for the document it may replace to go.
constexpr std::chrono::milliseconds kSubmitWindow{1000};

// Selectors per kind, when the caller gives none.
constexpr const char* kUsernameSelectors =
    "input[autocomplete=username], input[autocomplete=email], input[type=email], "
    "input[name*=user i], input[id*=user i], input[name*=email i]";
constexpr const char* kPasswordSelectors = "input[type=password]";
constexpr const char* kOtpSelectors =
    "input[autocomplete=one-time-code], input[name*=otp i], input[id*=otp i], "
    "input[name*=code i]";

std::string selectorText(FillField field, const std::optional<std::string>& selector) {
  if (selector) return *selector;
  switch (field) {
    case FillField::username:
      return kUsernameSelectors;
    case FillField::password:
      return kPasswordSelectors;
    case FillField::otp:
      return kOtpSelectors;
    case FillField::custom:
      break;
  }
  return "";
}

// The guard's text put into the function `script` (after the brace that opens its body, on the
// line that starts with "function") as the constant guardOf: the scripts that type, clear and
// submit all reach the guard of the element's document.
std::string withGuard(std::string_view script) {
  const std::size_t body = script.find('{', script.find("\nfunction")) + 1;
  return std::string(script.substr(0, body)) + "\nconst guardOf = " + std::string(scripts::guard) +
         ";\n" + std::string(script.substr(body));
}

const std::string kType = withGuard(scripts::type);
const std::string kClear = withGuard(scripts::clear);
const std::string kSubmit = withGuard(scripts::submit);
const std::string kOutcome = withGuard(scripts::outcome);

// A script's answer: the object it returned (by value, or as JSON text), else an empty object.
Json answerOf(const Json& reply) {
  const auto result = reply.find("result");
  if (result == reply.end() || !result->is_object()) return Json::object();
  const auto value = result->find("value");
  if (value == result->end()) return Json::object();
  if (value->is_object()) return *value;
  if (!value->is_string()) return Json::object();
  return support::parseJson(value->get<std::string>()).value_or(Json::object());
}

// One probe's answer in one session.
struct Located {
  std::int64_t count = 0;
  // Frames (iframe, frame, object, embed elements) in the document.
  std::int64_t frames = 0;
  std::string type;
  std::string origin;
};

Located located(const Json& json) {
  const LenientJson answer(json);
  if (answer["answer"].text() != "found") return {};
  return Located{answer["count"].integer().value_or(0), answer["frames"].integer().value_or(0),
                 answer["type"].text(), answer["origin"].text()};
}

// Whether a failed command means its deadline passed (the page did not answer).
bool isTimeout(const BrowserError& error) {
  return error.errorCase() == BrowserError::Case::callTooLong ||
         error.errorCase() == BrowserError::Case::timedOut;
}

// The element a locateField call handed out: its remote object in this controller's isolated
// world, the session that holds it, and what the fill was checked against.
struct LocatedElement final : FieldHandle {
  std::weak_ptr<CDPConnection> connection;
  std::string targetId;
  std::string sessionId;
  std::string objectId;
  FillField field = FillField::username;
  std::string origin;
  std::string pageURL;
};

}  // namespace

std::vector<std::string> CDPBrowserController::frameTargets(const Json& targets,
                                                            const ActivePage& page) {
  const auto infos = targets.find("targetInfos");
  if (infos == targets.end() || !infos->is_array()) return {};
  std::map<std::string, std::string> parents;
  for (const Json& entry : *infos) {
    const LenientJson info(entry);
    if (info.isObject()) parents[info["targetId"].text()] = info["parentId"].text();
  }
  // A frame of another tab is neither searched nor typed into.
  const auto belongsToPage = [&](std::string id) {
    for (std::size_t hops = 0; hops <= parents.size() && !id.empty(); ++hops) {
      const auto parent = parents.find(id);
      if (parent == parents.end()) return false;
      if (parent->second == page.targetId) return true;
      id = parent->second;
    }
    return false;
  };
  std::vector<std::string> frames;
  for (const Json& entry : *infos) {
    if (!entry.is_object() || LenientJson(entry)["type"].text() != "iframe") continue;
    const std::string targetId = LenientJson(entry)["targetId"].text();
    if (!targetId.empty() && belongsToPage(targetId)) frames.push_back(targetId);
  }
  return frames;
}

std::vector<std::string> CDPBrowserController::childFrames(const Connection& conn,
                                                           const ActivePage& target,
                                                           std::chrono::milliseconds deadline) {
  const Json reply = conn->send("Page.getFrameTree", Json::object(), target.sessionId,
                                CallBudget::clamp(deadline, "Page.getFrameTree"));
  std::vector<std::string> frames;
  // Depth first, as the documents nest; the tree's root is the main frame.
  std::vector<const Json*> open;
  const auto children = [&](const Json& node) {
    const auto found = node.find("childFrames");
    if (found == node.end() || !found->is_array()) return;
    for (auto child = found->rbegin(); child != found->rend(); ++child) open.push_back(&*child);
  };
  if (const auto root = reply.find("frameTree"); root != reply.end() && root->is_object()) {
    children(*root);
  }
  while (!open.empty() && frames.size() < kMaxFrames) {
    const Json& node = *open.back();
    open.pop_back();
    const LenientJson frame = LenientJson(node)["frame"];
    if (!frame.isObject()) continue;
    const std::string id = frame["id"].text();
    if (!id.empty()) frames.push_back(id);
    children(node);
  }
  return frames;
}

std::string CDPBrowserController::worldOf(const Connection& conn, const ActivePage& target,
                                          const std::string& frameId,
                                          std::chrono::milliseconds deadline) {
  const Json world =
      conn->send("Page.createIsolatedWorld", Json{{"frameId", frameId}, {"worldName", kWorldName}},
                 target.sessionId, CallBudget::clamp(deadline, "Page.createIsolatedWorld"));
  const auto context = world.find("executionContextId");
  if (context == world.end() || !context->is_number_integer()) {
    throw BrowserError::cdpFailure("no isolated world in the session");
  }
  const Json global =
      conn->send("Runtime.evaluate", Json{{"expression", "globalThis"}, {"contextId", *context}},
                 target.sessionId, CallBudget::clamp(deadline, "Runtime.evaluate"));
  const std::string objectId = LenientJson(global)["result"]["objectId"].text();
  if (objectId.empty()) throw BrowserError::cdpFailure("no isolated world in the session");
  pages_.keepWorld(*conn, target.targetId, target.sessionId, frameId, objectId);
  return objectId;
}

Json CDPBrowserController::callInWorld(const Connection& conn, const ActivePage& target,
                                       const std::string& frameId, const std::string& function,
                                       const Json& arguments, bool byValue,
                                       std::chrono::milliseconds deadline, bool gesture) {
  const std::string world = pages_.worldOf(target.targetId, target.sessionId, frameId);
  const auto call = [&](const std::string& objectId) {
    return conn->send("Runtime.callFunctionOn",
                      Json{{"functionDeclaration", function},
                           {"objectId", objectId},
                           {"arguments", arguments},
                           {"returnByValue", byValue},
                           {"userGesture", gesture}},
                      target.sessionId, CallBudget::clamp(deadline, "Runtime.callFunctionOn"));
  };
  if (!world.empty()) {
    try {
      return call(world);
    } catch (const BrowserError& error) {
      // A world of a document that has gone fails; one of the document there now is made.
      if (isTimeout(error)) throw;
    }
  }
  return call(worldOf(conn, target, frameId, deadline));
}

FieldMatch CDPBrowserController::locateField(FillField field,
                                             const std::optional<std::string>& selector) {
  if (field == FillField::custom && !selector) {
    throw ToolError::invalidArguments("field 'custom' requires a selector");
  }
  const Connection conn = ensureConnection();
  Json targets;
  const std::optional<ActivePage> page = activePage(conn, &targets);
  if (!page) return FieldMatch{};
  failOnDialog(*page);
  const std::vector<std::string> frames = frameTargets(targets, *page);

  // The page first, then its frame targets, up to kMaxProbes at once, all within one deadline: a
  // frame stuck in a synchronous request costs the search no more than that, and frames not
  // reached by then count nothing. An open dialog fails the search; any other failure of a frame
  // (gone, stuck) makes it count nothing.
  const Json arguments =
      Json::array({Json{{"value", selectorText(field, selector)}}, Json{{"value", false}}});
  const Steady::time_point end =
      Steady::now() + CallBudget::clamp(kSearchDeadline, "the field search");
  struct Answer {
    ActivePage target;
    std::string frameId;
    std::optional<Located> found;
  };
  const auto leftOf = [&] {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()),
                    std::chrono::milliseconds(1));
  };
  // One target: its main frame, then, when that document holds frames, each frame the target
  // keeps in its own process (a frame of another site is a target of its own). A page that does
  // not answer at all fails the search: it is not a page without the field.
  const auto probe = [&](ActivePage target, bool isPage) {
    std::vector<Answer> answers;
    try {
      if (target.sessionId.empty()) {
        std::optional<std::string> sessionId = attach(conn, target.targetId);
        if (!sessionId) return answers;
        target.sessionId = std::move(*sessionId);
      }
      failOnDialog(target);
      const auto ask = [&](const std::string& frameId) {
        answers.push_back(
            Answer{target, frameId,
                   located(answerOf(callInWorld(conn, target, frameId, std::string(scripts::probe),
                                                arguments, true, leftOf())))});
      };
      ask(target.targetId);
      if (answers.back().found->frames == 0) return answers;
      for (const std::string& frame : childFrames(conn, target, leftOf())) {
        try {
          ask(frame);
        } catch (const BrowserError& error) {
          // Gone, or no document of its own yet; a deadline ends the whole target.
          if (error.errorCase() == BrowserError::Case::dialogOpen || isTimeout(error)) throw;
        }
      }
    } catch (const BrowserError& error) {
      if (error.errorCase() == BrowserError::Case::dialogOpen) throw;
      if (isPage && answers.empty() && isTimeout(error)) throw;
    }
    return answers;
  };
  std::vector<Answer> answers;
  {
    const CallBudget search(leftOf());
    answers = probe(*page, true);
  }
  // The frame targets go to whichever prober is free next (this thread and at most kMaxProbes - 1
  // more); each slot is written by the one prober that took its frame. A prober's every wait
  // keeps to the call's budget and the search's end.
  std::vector<std::vector<Answer>> ofFrame(frames.size());
  std::atomic<std::size_t> taken{0};
  std::atomic<bool> dialogSeen{false};
  const CallBudget::Share callBudget;
  const auto probeFrames = [&] {
    const CallBudget call(callBudget);
    const CallBudget search(leftOf());
    for (std::size_t next = taken++; next < frames.size() && !dialogSeen && Steady::now() < end;
         next = taken++) {
      try {
        ofFrame[next] = probe(ActivePage{frames[next], "", ""}, false);
      } catch (const BrowserError&) {
        dialogSeen = true;
        throw;
      }
    }
  };
  std::vector<std::future<void>> probers;
  for (std::size_t helper = 1; helper < std::min(frames.size(), kMaxProbes); ++helper) {
    probers.push_back(std::async(std::launch::async, probeFrames));
  }
  std::exception_ptr dialog;
  try {
    probeFrames();
  } catch (const BrowserError&) {
    dialog = std::current_exception();
  }
  for (auto& prober : probers) {
    try {
      prober.get();
    } catch (const BrowserError&) {
      if (!dialog) dialog = std::current_exception();
    }
  }
  if (dialog) std::rethrow_exception(dialog);
  for (std::vector<Answer>& more : ofFrame) {
    for (Answer& answer : more) answers.push_back(std::move(answer));
  }

  std::int64_t total = 0;
  std::optional<std::size_t> hit;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    if (!answers[i].found || answers[i].found->count < 0) continue;
    total += answers[i].found->count;
    if (!hit && answers[i].found->count >= 1) hit = i;
  }
  FieldMatch match;
  match.count = total;
  match.pageURL = page->url;
  if (!hit) return match;
  const Located& first = *answers[*hit].found;
  match.inputType = first.type;
  match.frameOrigin = first.origin;
  if (total != 1) return match;

  const ActivePage& target = answers[*hit].target;
  const Json reply = callInWorld(
      conn, target, answers[*hit].frameId, std::string(scripts::probe),
      Json::array({Json{{"value", selectorText(field, selector)}}, Json{{"value", true}}}), false,
      kProbeDeadline, true);
  const std::string objectId = LenientJson(reply)["result"]["objectId"].text();
  // Gone or doubled between the two calls: nothing is focused, and the caller sees no element.
  if (objectId.empty()) return match;
  auto element = std::make_shared<LocatedElement>();
  element->connection = conn;
  element->targetId = target.targetId;
  element->sessionId = target.sessionId;
  element->objectId = objectId;
  element->field = field;
  element->origin = first.origin;
  element->pageURL = page->url;
  match.focused = true;
  match.element = std::move(element);
  return match;
}

namespace {

const LocatedElement& elementOf(const FieldMatch& match) {
  const auto* element = dynamic_cast<const LocatedElement*>(match.element.get());
  if (element == nullptr) throw BrowserError::cdpFailure("no focused field");
  return *element;
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

FormTarget CDPBrowserController::typeInto(const FieldMatch& match, const std::string& text,
                                          const FillBinding& binding) {
  const LocatedElement& element = elementOf(match);
  const Json answer = answerOf(
      callOnElement(match, kType,
                    Json::array({Json{{"value", text}}, Json{{"value", toString(element.field)}},
                                 Json{{"value", element.origin}}, Json{{"value", binding.key}},
                                 Json{{"value", binding.lockedTo}}}),
                    "the typing"));
  const std::string kind = LenientJson(answer)["answer"].text();
  if (kind == "opaque") throw BrowserError::opaqueOrigin(element.origin);
  if (kind == "origin")
    throw BrowserError::originMismatch(element.origin, LenientJson(answer)["origin"].text());
  if (kind == "changed") throw BrowserError::fieldChanged(LenientJson(answer)["what"].text());
  if (kind != "typed") throw BrowserError::fieldChanged("the page changed the field");
  FormTarget form;
  const auto actions = answer.find("actions");
  if (actions != answer.end() && actions->is_array()) {
    for (const Json& origin : *actions) {
      if (origin.is_string()) form.actionOrigins.push_back(origin.get<std::string>());
    }
  }
  return form;
}

void CDPBrowserController::clearField(const FieldMatch& match) {
  try {
    (void)callOnElement(match, kClear, Json::array(), "clearing the field");
  } catch (const std::exception&) {
    // Gone with its document: nothing left to clear.
  }
}

bool CDPBrowserController::submit(const FieldMatch& match, const SubmitApprovals& approved) {
  const LocatedElement& element = elementOf(match);
  const Connection conn = ensureConnection();
  const std::string loaderBefore = pages_.loaderOf(element.targetId);
  Json approvals = Json::object();
  for (const auto& [key, origins] : approved) approvals[key] = origins;
  Json answer = answerOf(
      callOnElement(match, kSubmit, Json::array({Json{{"value", approvals}}}), "the submit"));
  std::string kind = LenientJson(answer)["answer"].text();
  bool submitted = kind == "submitted" || kind == "clicked";
  if (kind == "none" || kind.empty()) {
    for (const char* type : {"keyDown", "keyUp"}) {
      conn->send("Input.dispatchKeyEvent",
                 Json{{"type", type},
                      {"key", "Enter"},
                      {"code", "Enter"},
                      {"windowsVirtualKeyCode", 13},
                      {"nativeVirtualKeyCode", 13}},
                 element.sessionId, CallBudget::clamp(kCommandDeadline, "the submit"));
    }
    // Only what the document's guard saw tells whether the key press submitted anything.
    answer = answerOf(callOnElement(match, kOutcome, Json::array(), "the submit"));
    kind = LenientJson(answer)["answer"].text();
    submitted = kind == "started" || kind == "taken";
  }
  if (kind == "refused") throw BrowserError::submitRefused(LenientJson(answer)["reason"].text());
  // The next operation acts on the page the submit led to, not on the one it left.
  pages_.awaitDocument(element.targetId, element.sessionId, loaderBefore, kSubmitWindow,
                       kReadinessPolls * kReadinessPause);
  return submitted;
}

}  // namespace varn::mcp
