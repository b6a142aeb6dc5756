// The field operations of CDPBrowserController: locating a credential field in the page and its
// frames, typing into the located element, and submitting its form and waiting for the document
// the submit leads to.
//
// Every script runs in an isolated world of this controller ("Page.createIsolatedWorld"): page
// script shares the DOM with it but none of its globals, prototypes or JSON, so it cannot change
// what a probe counts or reports, nor the native value setter the typing uses. Scripts are called
// on remote objects of that world (its global object, a located element); their ids carry the
// renderer's random isolate id, so an id left over from a replaced document can only fail, never
// reach another document's world.
//
// A field search runs in the page and in every frame target of that page (never the frames of
// other tabs), side by side, within one search deadline. Only a single visible match is focused;
// the caller gets that element's own remote object, so concurrent calls never share a mark. The
// typing is one synchronous function on that object: it re-checks the element, the focus and its
// document's origin and sets the value, so no page script runs between the checks and the value.

#include <algorithm>
#include <future>
#include <map>

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
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

std::string textOr(const Json& object, std::string_view key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

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

// Called on the world's global object with the selector list: the visible matches in the
// document and its same-origin child frames (depth first). With `focus`, the single match is
// focused and returned itself (null unless there is exactly one); otherwise a JSON text with the
// count, the first match's own type ("<tag>" for an element that is no input) and the origin of
// its document ("null" when opaque).
constexpr const char* kProbe = R"(function (sel, focus) {
  const found = [];
  const scan = (doc) => {
    try {
      for (const el of doc.querySelectorAll(sel)) {
        if (el.offsetParent !== null || el.getClientRects().length > 0) found.push(el);
      }
      for (const frame of doc.querySelectorAll('iframe')) {
        let inner = null;
        try { inner = frame.contentDocument; } catch (e) {}
        if (inner) scan(inner);
      }
    } catch (e) {}
  };
  scan(document);
  if (focus) {
    if (found.length !== 1) return null;
    found[0].focus();
    return found[0];
  }
  const el = found[0];
  const win = el ? el.ownerDocument.defaultView : null;
  const type = !el ? '' : el instanceof win.HTMLInputElement ? el.type : '<' + el.localName + '>';
  return JSON.stringify({count: found.length, type, origin: win ? String(win.origin) : ''});
})";

// What the element's form would do with a value: the origin of its action ("null" when it has
// none usable) and whether it sends by GET while holding a filled password input.
constexpr const char* kFormOf = R"(
  const formOf = (el, win) => {
    const form = el.form;
    if (!form) return {form: false, action: '', byGet: false};
    let action = 'null';
    try { action = new win.URL(form.action).origin; } catch (e) {}
    const byGet = form.method === 'get' && Array.from(form.elements).some(
        (e) => e instanceof win.HTMLInputElement && e.type === 'password' && e.value !== '');
    return {form: true, action, byGet};
  };)";

// Called on the located element with the text, the field kind and the origin its fill was locked
// to. In one synchronous run: the checks, then the value through the native setter and the input
// and change events. Answers "changed:<what>", "opaque", "origin:<origin>", or the JSON of the
// element's form.
const std::string kType = std::string(R"(function (text, kind, origin) {)") + kFormOf + R"(
  const el = this;
  const doc = el.ownerDocument;
  const win = doc ? doc.defaultView : null;
  if (!el.isConnected || !win) return 'changed:the field was removed from the page';
  if (win.origin === 'null') return 'opaque';
  if (win.origin !== origin) return 'origin:' + win.origin;
  const input = el instanceof win.HTMLInputElement;
  const area = el instanceof win.HTMLTextAreaElement;
  if (kind === 'password' && !(input && el.type === 'password')) {
    return 'changed:the field is no longer a password input (type=' +
        (input ? el.type : '<' + el.localName + '>') + ')';
  }
  if (!input && !area) return 'changed:the field is not an input (<' + el.localName + '>)';
  if (el.disabled || el.readOnly) return 'changed:the field no longer takes input';
  if (doc.activeElement !== el) return 'changed:the field lost the focus';
  for (let w = win; w.frameElement; w = w.frameElement.ownerDocument.defaultView) {
    if (w.frameElement.ownerDocument.activeElement !== w.frameElement) {
      return 'changed:the field lost the focus';
    }
  }
  const proto = input ? win.HTMLInputElement.prototype : win.HTMLTextAreaElement.prototype;
  Object.getOwnPropertyDescriptor(proto, 'value').set.call(el, text);
  el.dispatchEvent(new win.Event('input', {bubbles: true}));
  el.dispatchEvent(new win.Event('change', {bubbles: true}));
  return JSON.stringify(formOf(el, win));
})";

// Called on the located element: empties its value.
constexpr const char* kClear = R"(function () {
  const win = this.ownerDocument && this.ownerDocument.defaultView;
  if (!win) return;
  const proto = this instanceof win.HTMLTextAreaElement ? win.HTMLTextAreaElement.prototype
                                                        : win.HTMLInputElement.prototype;
  try { Object.getOwnPropertyDescriptor(proto, 'value').set.call(this, ''); } catch (e) {}
})";

// Called on the located element with the action origin its caller checked: submits its form
// (unless the form now sends elsewhere or sends a password by GET: then the element is emptied
// and the answer is "refused:<reason>"), else clicks the best-scored button; "none" when neither.
const std::string kSubmit = std::string(R"(function (checked) {)") + kFormOf + R"(
  const active = this;
  const doc = active.ownerDocument;
  const win = doc.defaultView;
  const target = formOf(active, win);
  if (target.form) {
    let refusal = '';
    if (target.action !== checked) refusal = 'the form now sends to ' + target.action;
    else if (target.byGet) refusal = 'the form would send the password in the URL (method GET)';
    if (refusal) {
      for (const e of Array.from(active.form.elements)) {
        if (e instanceof win.HTMLInputElement && e.type === 'password') {
          Object.getOwnPropertyDescriptor(win.HTMLInputElement.prototype, 'value').set.call(e, '');
        }
      }
      const proto = active instanceof win.HTMLTextAreaElement ? win.HTMLTextAreaElement.prototype
                                                              : win.HTMLInputElement.prototype;
      try { Object.getOwnPropertyDescriptor(proto, 'value').set.call(active, ''); } catch (e) {}
      return 'refused:' + refusal;
    }
    active.form.requestSubmit();
    return 'form.requestSubmit';
  }
  const positive = /\b(log\s?in|sign\s?in|submit|continue|next|proceed|confirm|done|enter)\b/i;
  const negative = /\b(menu|nav|toggle|hamburger|search|close|cancel|forgot|reset|register|sign\s?up|create)\b/i;
  const candidates = Array.from(
      doc.querySelectorAll('button, input[type=submit], input[type=button], [role=button]'))
    .filter((el) => (el.offsetParent !== null || el.getClientRects().length > 0) && !el.disabled);
  const label = (el) =>
    (el.value || el.textContent || el.getAttribute('aria-label') || el.id || '').trim();
  const ancestors = new Set();
  for (let node = active; node; node = node.parentElement) ancestors.add(node);
  const distance = (el) => {
    let meet = el;
    let up = 0;
    while (meet && !ancestors.has(meet)) { meet = meet.parentElement; up++; }
    let down = 0;
    for (let node = active; node && node !== meet; node = node.parentElement) down++;
    return up + down;
  };
  let best = null;
  let bestScore = -1e9;
  for (const el of candidates) {
    const text = label(el);
    let score = 0;
    if (positive.test(text)) score += 100;
    if (negative.test(text)) score -= 100;
    if (el.type === 'submit') score += 20;
    score -= distance(el);
    if (score > bestScore) { best = el; bestScore = score; }
  }
  if (best && bestScore >= 0) { best.click(); return 'click:' + label(best); }
  return 'none';
})";

// One probe's answer in one session.
struct Located {
  std::int64_t count = 0;
  std::string type;
  std::string origin;
};

Located located(const std::string& answer) {
  const std::optional<Json> parsed = support::parseJson(answer);
  if (!parsed || !parsed->is_object()) return {};
  const auto count = parsed->find("count");
  return Located{
      count != parsed->end() && count->is_number_integer() ? count->get<std::int64_t>() : 0,
      textOr(*parsed, "type"), textOr(*parsed, "origin")};
}

FormTarget formTarget(const std::string& answer) {
  const Json parsed = support::parseJson(answer).value_or(Json::object());
  const auto flag = [&](std::string_view key) {
    const auto found = parsed.find(key);
    return found != parsed.end() && found->is_boolean() && found->get<bool>();
  };
  return FormTarget{flag("form"), textOr(parsed, "action"), flag("byGet")};
}

// Whether a failed command means its deadline passed (the page did not answer).
bool isTimeout(const BrowserError& error) {
  return error.errorCase() == BrowserError::Case::callTooLong ||
         (error.errorCase() == BrowserError::Case::cdpFailure &&
          error.text().starts_with("timed out"));
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
    if (entry.is_object()) parents[textOr(entry, "targetId")] = textOr(entry, "parentId");
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
    if (!entry.is_object() || textOr(entry, "type") != "iframe") continue;
    const std::string targetId = textOr(entry, "targetId");
    if (!targetId.empty() && belongsToPage(targetId)) frames.push_back(targetId);
  }
  return frames;
}

std::string CDPBrowserController::worldOf(const Connection& conn, const ActivePage& target,
                                          std::chrono::milliseconds deadline) {
  // The main frame of a target has the target's id.
  const Json world = conn->send(
      "Page.createIsolatedWorld", Json{{"frameId", target.targetId}, {"worldName", kWorldName}},
      target.sessionId, CallBudget::clamp(deadline, "Page.createIsolatedWorld"));
  const auto context = world.find("executionContextId");
  if (context == world.end() || !context->is_number_integer()) {
    throw BrowserError::cdpFailure("no isolated world in the session");
  }
  const Json global =
      conn->send("Runtime.evaluate", Json{{"expression", "globalThis"}, {"contextId", *context}},
                 target.sessionId, CallBudget::clamp(deadline, "Runtime.evaluate"));
  const auto result = global.find("result");
  const std::string objectId =
      result != global.end() && result->is_object() ? textOr(*result, "objectId") : "";
  if (objectId.empty()) throw BrowserError::cdpFailure("no isolated world in the session");
  std::lock_guard lock(mutex_);
  if (connection_ == conn) {
    if (auto kept = sessions_.find(target.targetId);
        kept != sessions_.end() && kept->second.id == target.sessionId) {
      kept->second.world = objectId;
    }
  }
  return objectId;
}

Json CDPBrowserController::callInWorld(const Connection& conn, const ActivePage& target,
                                       const std::string& function, const Json& arguments,
                                       bool byValue, std::chrono::milliseconds deadline) {
  std::string world;
  {
    std::lock_guard lock(mutex_);
    if (auto kept = sessions_.find(target.targetId);
        kept != sessions_.end() && kept->second.id == target.sessionId) {
      world = kept->second.world;
    }
  }
  const auto call = [&](const std::string& objectId) {
    return conn->send("Runtime.callFunctionOn",
                      Json{{"functionDeclaration", function},
                           {"objectId", objectId},
                           {"arguments", arguments},
                           {"returnByValue", byValue}},
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
  return call(worldOf(conn, target, deadline));
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

  // All frames at once, within one deadline: a frame stuck in a synchronous request costs the
  // search no more than that. An open dialog fails the search; any other failure of a frame
  // (gone, stuck) makes it count nothing.
  const Json arguments =
      Json::array({Json{{"value", selectorText(field, selector)}}, Json{{"value", false}}});
  const Steady::time_point end =
      Steady::now() + CallBudget::clamp(kSearchDeadline, "the field search");
  struct Answer {
    ActivePage target;
    std::optional<Located> found;
  };
  const auto probe = [&](ActivePage target) {
    Answer answer{std::move(target), std::nullopt};
    try {
      if (answer.target.sessionId.empty()) {
        std::optional<std::string> sessionId = attach(conn, answer.target.targetId);
        if (!sessionId) return answer;
        answer.target.sessionId = std::move(*sessionId);
      }
      failOnDialog(answer.target);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now());
      const Json reply = callInWorld(conn, answer.target, kProbe, arguments, true,
                                     std::max(left, std::chrono::milliseconds(1)));
      const auto result = reply.find("result");
      answer.found =
          located(result != reply.end() && result->is_object() ? textOr(*result, "value") : "");
    } catch (const BrowserError& error) {
      if (error.errorCase() == BrowserError::Case::dialogOpen) throw;
    }
    return answer;
  };
  std::vector<std::future<Answer>> others;
  for (const std::string& frame : frames) {
    others.push_back(std::async(std::launch::async, probe, ActivePage{frame, "", ""}));
  }
  std::vector<Answer> answers;
  std::exception_ptr dialog;
  try {
    answers.push_back(probe(*page));
  } catch (const BrowserError&) {
    dialog = std::current_exception();
  }
  for (auto& other : others) {
    try {
      answers.push_back(other.get());
    } catch (const BrowserError&) {
      if (!dialog) dialog = std::current_exception();
    }
  }
  if (dialog) std::rethrow_exception(dialog);

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
      conn, target, kProbe,
      Json::array({Json{{"value", selectorText(field, selector)}}, Json{{"value", true}}}), false,
      kProbeDeadline);
  const auto result = reply.find("result");
  const std::string objectId =
      result != reply.end() && result->is_object() ? textOr(*result, "objectId") : "";
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
                           {"returnByValue", true}},
                      element.sessionId, CallBudget::clamp(kProbeDeadline, step));
  } catch (const BrowserError& error) {
    if (isTimeout(error) || error.errorCase() != BrowserError::Case::cdpFailure) throw;
    // The object is gone with its document, or the frame with its session.
    throw BrowserError::fieldChanged("the page was reloaded or left");
  }
}

FormTarget CDPBrowserController::typeInto(const FieldMatch& match, const std::string& text) {
  const LocatedElement& element = elementOf(match);
  const Json reply =
      callOnElement(match, kType,
                    Json::array({Json{{"value", text}}, Json{{"value", toString(element.field)}},
                                 Json{{"value", element.origin}}}),
                    "the typing");
  const auto result = reply.find("result");
  const std::string answer =
      result != reply.end() && result->is_object() ? textOr(*result, "value") : "";
  if (answer == "opaque") throw BrowserError::opaqueOrigin(element.origin);
  if (answer.starts_with("origin:")) {
    throw BrowserError::originMismatch(element.origin, answer.substr(7));
  }
  if (answer.starts_with("changed:")) throw BrowserError::fieldChanged(answer.substr(8));
  if (!answer.starts_with("{")) throw BrowserError::fieldChanged("the page changed the field");
  return formTarget(answer);
}

void CDPBrowserController::clearField(const FieldMatch& match) {
  try {
    (void)callOnElement(match, kClear, Json::array(), "clearing the field");
  } catch (const std::exception&) {
    // Gone with its document: nothing left to clear.
  }
}

void CDPBrowserController::submit(const FieldMatch& match, const FormTarget& checked) {
  const LocatedElement& element = elementOf(match);
  const Connection conn = ensureConnection();
  const std::string loaderBefore = loaderOf(element.targetId);
  const Json reply = callOnElement(
      match, kSubmit, Json::array({Json{{"value", checked.actionOrigin}}}), "the submit");
  const auto result = reply.find("result");
  const std::string answer =
      result != reply.end() && result->is_object() ? textOr(*result, "value") : "";
  if (answer.starts_with("refused:")) throw BrowserError::submitRefused(answer.substr(8));
  if (answer.empty() || answer == "none") {
    for (const char* type : {"keyDown", "keyUp"}) {
      conn->send("Input.dispatchKeyEvent",
                 Json{{"type", type},
                      {"key", "Enter"},
                      {"code", "Enter"},
                      {"windowsVirtualKeyCode", 13},
                      {"nativeVirtualKeyCode", 13}},
                 element.sessionId, CallBudget::clamp(kCommandDeadline, "the submit"));
    }
  }
  // The next operation acts on the page the submit led to, not on the one it left.
  awaitDocument(element.targetId, element.sessionId, loaderBefore, kSubmitWindow);
}

void CDPBrowserController::failOnDialog(const ActivePage& target) {
  std::lock_guard lock(mutex_);
  const auto kept = sessions_.find(target.targetId);
  if (kept != sessions_.end() && kept->second.id == target.sessionId && kept->second.dialogOpen) {
    throw BrowserError::dialogOpen(kept->second.dialogType, kept->second.dialogMessage);
  }
}

std::string CDPBrowserController::loaderOf(const std::string& targetId) {
  std::lock_guard lock(mutex_);
  const auto kept = sessions_.find(targetId);
  return kept != sessions_.end() ? kept->second.loaderId : "";
}

void CDPBrowserController::awaitDocument(const std::string& targetId, const std::string& sessionId,
                                         const std::string& loaderBefore,
                                         std::chrono::milliseconds window) {
  const Steady::time_point start = Steady::now();
  const auto until = [&](std::chrono::milliseconds span, auto done) {
    std::unique_lock lock(mutex_);
    return sessionsChanged_.wait_until(lock, start + span, [&] {
      const auto kept = sessions_.find(targetId);
      return kept == sessions_.end() || kept->second.id != sessionId || kept->second.dialogOpen ||
             done(kept->second);
    });
  };
  // No document committed within the window: the submit did not navigate.
  if (!until(CallBudget::clamp(window, "the page after the submit"),
             [&](const Session& session) { return session.loaderId != loaderBefore; })) {
    return;
  }
  (void)until(CallBudget::clamp(kReadinessPolls * kReadinessPause, "the page after the submit"),
              [](const Session& session) { return session.loaded; });
}

}  // namespace varn::mcp
