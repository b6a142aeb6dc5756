// The field operations of CDPBrowserController: locating a credential field in the page and its
// frames, typing into the focused one, and submitting its form and waiting for the document the
// submit leads to.
//
// Every script runs in an isolated world of this controller ("Page.createIsolatedWorld"): page
// script shares the DOM with it but none of its globals, prototypes or JSON, so it cannot change
// what a probe counts or reports, see the mark on a located field, or hide the old document's
// mark. The origin of a frame is the browser's own ("securityOrigin" of Page.getFrameTree), never
// what the page says of itself.
//
// A field search runs in the page and in every frame target of that page (never the frames of
// other tabs). Only a single visible match is focused; it is marked in the isolated world, and
// typing first checks that the frame still has the origin reported for it and that the marked
// field still holds the focus, since an approval may have taken minutes since the search.

#include <algorithm>
#include <map>

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

// The isolated world's name: Chromium gives a frame's document one context per name, so every
// script of this controller in one document shares the same globals.
constexpr const char* kWorldName = "varn";

// How long a submit waits for the document it may replace to go, and the pause between polls of
// a document's state.
constexpr std::chrono::milliseconds kSubmitWindow{1000};
constexpr std::chrono::milliseconds kDocumentPoll{10};

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

// The selector list as a JavaScript string literal. JSON's string form is one (also for line
// separators since ES2019), and it escapes quotes, backslashes and control characters alike.
std::string selectorLiteral(FillField field, const std::optional<std::string>& selector) {
  std::string text;
  if (selector) {
    text = *selector;
  } else if (field == FillField::username) {
    text = kUsernameSelectors;
  } else if (field == FillField::password) {
    text = kPasswordSelectors;
  } else if (field == FillField::otp) {
    text = kOtpSelectors;
  }
  return support::dumpCompact(Json(text));
}

// The deepest focused element: into same-origin child frames whose element holds the focus.
constexpr const char* kDeepActive = R"(
  const deepActive = () => {
    let active = document.activeElement;
    while (active && (active.tagName === 'IFRAME' || active.tagName === 'FRAME')) {
      let inner = null;
      try { inner = active.contentDocument; } catch (e) {}
      if (!inner || !inner.activeElement) break;
      active = inner.activeElement;
    }
    return active;
  };)";

// Counts the visible matches in the document and its same-origin child frames (depth first) and,
// with `focus`, focuses the first and marks it as this world's located field.
std::string probeScript(const std::string& literal, bool focus) {
  return R"((() => {
  const SEL = )" +
         literal +
         R"(;
  const found = [];
  const scan = (doc) => {
    try {
      for (const el of doc.querySelectorAll(SEL)) {
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
  if ()" +
         (focus ? "true" : "false") +
         R"( && found.length > 0) {
    found[0].focus();
    globalThis.__varnField = found[0];
  }
  return JSON.stringify({count: found.length, type: (found[0] && found[0].type) || ''});
})())";
}

// "focused" while the located field is still in its document and holds the focus.
const std::string kStillFocused = std::string("(() => {") + kDeepActive + R"(
  const field = globalThis.__varnField;
  return field && field.isConnected && deepActive() === field ? 'focused' : 'moved';
})())";

// Submits the focused field's form, else clicks the best-scored button; "none" when neither.
// Marks the document first, so that the wait afterwards sees when it is replaced.
const std::string kSubmitScript = std::string("(() => {") + kDeepActive + R"(
  globalThis.__varnMark = true;
  const active = deepActive();
  const form = active ? active.form : null;
  if (form) {
    if (typeof form.requestSubmit === 'function') { form.requestSubmit(); return 'form.requestSubmit'; }
    const button = form.querySelector('button[type=submit], input[type=submit]');
    if (button) { button.click(); return 'form.submitButton'; }
    form.submit();
    return 'form.submit';
  }
  const positive = /\b(log\s?in|sign\s?in|submit|continue|next|proceed|confirm|done|enter)\b/i;
  const negative = /\b(menu|nav|toggle|hamburger|search|close|cancel|forgot|reset|register|sign\s?up|create)\b/i;
  const doc = active ? active.ownerDocument : document;
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
    if (active) score -= distance(el);
    if (score > bestScore) { best = el; bestScore = score; }
  }
  if (best && bestScore >= 0) { best.click(); return 'click:' + label(best); }
  return 'none';
})())";

constexpr const char* kDocumentState =
    "(globalThis.__varnMark ? 'marked ' : '') + document.readyState";

// One probe's answer in one session.
struct Located {
  std::int64_t count = 0;
  std::string type;
};

Located located(const std::string& answer) {
  const std::optional<Json> parsed = support::parseJson(answer);
  if (!parsed || !parsed->is_object()) return {};
  const auto count = parsed->find("count");
  return Located{
      count != parsed->end() && count->is_number_integer() ? count->get<std::int64_t>() : 0,
      textOr(*parsed, "type")};
}

// Whether a failed command means the execution context (its document) is gone.
bool isContextGone(const BrowserError& error) {
  return error.errorCase() == BrowserError::Case::cdpFailure &&
         error.text().find("context") != std::string::npos;
}

}  // namespace

std::vector<CDPBrowserController::ActivePage> CDPBrowserController::frameTargets(
    const Connection& conn, const ActivePage& page) {
  std::vector<ActivePage> targets{page};
  const Json reply = conn->send("Target.getTargets");
  const auto infos = reply.find("targetInfos");
  if (infos == reply.end() || !infos->is_array()) return targets;
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
  for (const Json& entry : *infos) {
    if (!entry.is_object() || textOr(entry, "type") != "iframe") continue;
    const std::string targetId = textOr(entry, "targetId");
    if (targetId.empty() || !belongsToPage(targetId)) continue;
    if (std::optional<std::string> sessionId = attach(conn, targetId)) {
      targets.push_back(ActivePage{targetId, std::move(*sessionId), ""});
    }
  }
  return targets;
}

CDPBrowserController::Frame CDPBrowserController::isolatedFrame(
    const Connection& conn, ActivePage& target, std::chrono::milliseconds deadline) {
  const Json tree = sendToPage(conn, target, "Page.getFrameTree", Json::object(), deadline);
  const Json* frame = nullptr;
  if (const auto root = tree.find("frameTree"); root != tree.end() && root->is_object()) {
    if (const auto found = root->find("frame"); found != root->end() && found->is_object()) {
      frame = &*found;
    }
  }
  if (frame == nullptr) throw BrowserError::cdpFailure("no frame in the session");
  Frame out{textOr(*frame, "id"), textOr(*frame, "securityOrigin"), 0};
  if (out.id.empty()) throw BrowserError::cdpFailure("no frame in the session");
  const Json world = sendToPage(conn, target, "Page.createIsolatedWorld",
                                Json{{"frameId", out.id}, {"worldName", kWorldName}}, deadline);
  const auto context = world.find("executionContextId");
  if (context == world.end() || !context->is_number_integer()) {
    throw BrowserError::cdpFailure("no isolated world in the session");
  }
  out.contextId = context->get<std::int64_t>();
  return out;
}

std::string CDPBrowserController::evalIn(const Connection& conn, ActivePage& target,
                                         std::int64_t contextId, const std::string& js,
                                         std::chrono::milliseconds deadline) {
  const Json reply = sendToPage(
      conn, target, "Runtime.evaluate",
      Json{{"expression", js}, {"returnByValue", true}, {"contextId", contextId}}, deadline);
  const auto result = reply.find("result");
  return result != reply.end() && result->is_object() ? textOr(*result, "value") : "";
}

FieldMatch CDPBrowserController::locateField(FillField field,
                                             const std::optional<std::string>& selector) {
  if (field == FillField::custom && !selector) {
    throw ToolError::invalidArguments("field 'custom' requires a selector");
  }
  const Connection conn = ensureConnection();
  const std::optional<ActivePage> page = activePage(conn);
  if (!page) return FieldMatch{};
  std::vector<ActivePage> targets = frameTargets(conn, *page);

  const std::string literal = selectorLiteral(field, selector);
  const std::string search = probeScript(literal, false);
  std::int64_t total = 0;
  std::optional<std::pair<std::size_t, Frame>> hit;
  std::string hitType;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    Frame frame;
    Located answer;
    try {
      frame = isolatedFrame(conn, targets[i]);
      answer = located(evalIn(conn, targets[i], frame.contextId, search));
    } catch (const BrowserError&) {
      continue;  // a frame that cannot be searched (gone, or blocked by a dialog) counts nothing
    }
    if (answer.count < 0) continue;
    total += answer.count;
    if (!hit && answer.count >= 1) {
      hit.emplace(i, frame);
      hitType = answer.type;
    }
  }
  if (total != 1 || !hit) {
    return FieldMatch{total, hitType, hit ? hit->second.origin : "", false, page->url};
  }

  ActivePage& target = targets[hit->first];
  (void)evalIn(conn, target, hit->second.contextId, probeScript(literal, true));
  {
    std::lock_guard lock(mutex_);
    if (connection_ == conn) {
      focus_.insert_or_assign(std::this_thread::get_id(),
                              Focus{target, hit->second, field, page->url});
    }
  }
  return FieldMatch{1, hitType, hit->second.origin, true, page->url};
}

CDPBrowserController::Focus CDPBrowserController::focusOfThisThread() {
  std::lock_guard lock(mutex_);
  const auto found = focus_.find(std::this_thread::get_id());
  if (found == focus_.end()) throw BrowserError::cdpFailure("no focused field");
  return found->second;
}

void CDPBrowserController::typeIntoFocused(const std::string& text) {
  const Connection conn = ensureConnection();
  Focus focus = focusOfThisThread();

  // The approval wait may have lasted minutes: the frame must still show the origin the fill was
  // locked to, and the located field must still hold the focus, or nothing is typed.
  Frame now;
  try {
    now = isolatedFrame(conn, focus.target);
  } catch (const BrowserError&) {
    throw BrowserError::fieldNotFound(focus.field, focus.pageURL);
  }
  if (now.origin != focus.frame.origin) {
    throw BrowserError::originMismatch(focus.frame.origin, now.origin);
  }
  std::string state;
  try {
    state = evalIn(conn, focus.target, focus.frame.contextId, kStillFocused);
  } catch (const BrowserError& error) {
    if (!isContextGone(error)) throw;
  }
  if (state != "focused" || now.contextId != focus.frame.contextId) {
    throw BrowserError::fieldNotFound(focus.field, focus.pageURL);
  }
  sendToPage(conn, focus.target, "Input.insertText", Json{{"text", text}});
}

void CDPBrowserController::submitFocused() {
  const Connection conn = ensureConnection();
  Focus focus = focusOfThisThread();
  std::string answer;
  try {
    answer = evalIn(conn, focus.target, focus.frame.contextId, kSubmitScript);
  } catch (const BrowserError&) {
    // Counts as no submit: Enter below.
  }
  if (answer.empty() || answer == "none") {
    // Marked by the script when it ran; otherwise the wait below finds no mark and only waits
    // for the document to be complete.
    for (const char* type : {"keyDown", "keyUp"}) {
      sendToPage(conn, focus.target, "Input.dispatchKeyEvent",
                 Json{{"type", type},
                      {"key", "Enter"},
                      {"code", "Enter"},
                      {"windowsVirtualKeyCode", 13},
                      {"nativeVirtualKeyCode", 13}});
    }
  }
  // The next operation acts on the page the submit led to, not on the one it left.
  awaitReplacement(conn, focus.target, focus.frame.id, kSubmitWindow);
}

void CDPBrowserController::awaitReplacement(const Connection& conn, ActivePage& target,
                                            const std::string& frameId,
                                            std::chrono::milliseconds window) {
  const Steady::time_point start = Steady::now();
  const Steady::time_point budgetEnd = start + kReadinessPolls * kReadinessPause;
  for (;;) {
    // A probe that gets no answer (a dialog open on the page) keeps to the budget.
    const auto deadline =
        std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(budgetEnd - Steady::now()),
                   kReadinessPause, kProbeDeadline);
    std::string state;
    try {
      const Json world =
          sendToPage(conn, target, "Page.createIsolatedWorld",
                     Json{{"frameId", frameId}, {"worldName", kWorldName}}, deadline);
      const auto context = world.find("executionContextId");
      if (context != world.end() && context->is_number_integer()) {
        state = evalIn(conn, target, context->get<std::int64_t>(), kDocumentState, deadline);
      }
    } catch (const BrowserError& error) {
      // A connection that has ended fails the wait; a document between two states or a page
      // blocked by a dialog is not ready yet.
      if (error.text() == "connection closed") throw;
    }
    if (state == "complete") return;
    const Steady::time_point now = Steady::now();
    if (now >= budgetEnd) return;
    // Nothing replaced the marked document in time (the submit did not navigate), or the frame
    // cannot be asked at all (it went away with its target); a new document that is still
    // loading is waited for.
    if ((state.empty() || state.starts_with("marked")) && now - start >= window) return;
    std::this_thread::sleep_for(kDocumentPoll);
  }
}

}  // namespace varn::mcp
