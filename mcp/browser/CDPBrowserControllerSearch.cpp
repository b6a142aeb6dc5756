// The field search of CDPBrowserController: locating a credential field in the page and its
// frames. The scripts it runs in pages are mcp/browser/scripts/*.js, embedded at build time; each
// answers a JSON object whose "answer" says which kind of answer it is.
//
// Every script runs in an isolated world of this controller (CDPBrowserControllerWorlds.cpp).
//
// A field search runs in the page and in every frame target of that page (never the frames of
// other tabs), side by side, and in each of them also in every frame that Chromium keeps in the
// target's own process (same-site frames, same-origin ones), each in its own isolated world, all
// within one search deadline. Only a single visible match is focused; the caller gets a remote
// object of its own for that element, so concurrent calls never share a mark. When the page holds
// no frame, the search that counts the match also focuses and hands it out.

#include <algorithm>
#include <atomic>
#include <future>
#include <map>

#include "mcp/browser/CDPBrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/FieldElement.hpp"
#include "mcp/browser/LenientJson.hpp"
#include "mcp/browser/PageScripts.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

// One field search, over all frames together; a frame that has not answered by then counts
// nothing.
constexpr std::chrono::milliseconds kSearchDeadline{5000};
// The most targets one field search probes at once (the page's own included), so that a page with
// hundreds of frames costs no more threads than this.
constexpr std::size_t kMaxProbes = 16;

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

// The probe's arguments: the selectors, and its mode ("count", "sole" or "focus").
Json probeArguments(const std::string& selectors, const char* mode) {
  return Json::array({Json{{"value", selectors}}, Json{{"value", mode}}});
}

// What is left until `end`, at least a millisecond (a wait of zero would not be a wait).
std::chrono::milliseconds leftUntil(Steady::time_point end) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()),
                  std::chrono::milliseconds(1));
}

}  // namespace

std::vector<std::string> CDPBrowserController::frameTargets(const Json& targets,
                                                            const ActivePage& page) {
  const Json& infos = LenientJson(targets)["targetInfos"].array();
  std::map<std::string, std::string> parents;
  for (const Json& entry : infos) {
    const LenientJson target(entry);
    if (target.isObject()) parents[target["targetId"].text()] = target["parentId"].text();
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
  for (const Json& entry : infos) {
    const LenientJson target(entry);
    if (target["type"].text() != "iframe") continue;
    const std::string targetId = target["targetId"].text();
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
  const auto children = [&](const LenientJson& node) {
    const Json& found = node["childFrames"].array();
    for (auto child = found.rbegin(); child != found.rend(); ++child) open.push_back(&*child);
  };
  children(LenientJson(reply)["frameTree"]);
  while (!open.empty() && frames.size() < kMaxFrames) {
    const LenientJson node(*open.back());
    open.pop_back();
    if (!node["frame"].isObject()) continue;
    const std::string id = node["frame"]["id"].text();
    if (!id.empty()) frames.push_back(id);
    children(node);
  }
  return frames;
}

FieldMatch CDPBrowserController::locateField(FillField field,
                                             const std::optional<std::string>& selector) {
  if (field == FillField::custom && !selector) {
    throw ToolError::invalidArguments("field 'custom' requires a selector");
  }
  const Connection conn = ensureConnection();
  const std::string selectors = selectorText(field, selector);
  const auto searched = searchPage(conn, selectors, true);
  if (!searched) return FieldMatch{};
  const auto& [page, answers] = *searched;

  std::int64_t total = 0;
  const FrameAnswer* hit = nullptr;
  for (const FrameAnswer& answer : answers) {
    if (answer.count < 0) continue;
    total += answer.count;
    if (hit == nullptr && answer.count >= 1) hit = &answer;
  }
  FieldMatch match;
  match.count = total;
  match.pageURL = page.url;
  if (hit == nullptr) return match;
  match.inputType = hit->type;
  match.frameOrigin = hit->origin;
  if (total == 1) {
    match.element = hit->handle.empty() ? focusSingle(conn, *hit, field, selectors, page.url)
                                        : located(conn, *hit, field, hit->handle, page.url);
  }
  match.focused = match.element != nullptr;
  return match;
}

PageShown CDPBrowserController::shownPage(std::span<const FillField> kinds) {
  std::string selectors;
  for (FillField kind : kinds) {
    const std::string own = selectorText(kind, std::nullopt);
    if (!own.empty()) selectors += (selectors.empty() ? "" : ", ") + own;
  }
  // Without selectors (an empty list matches nothing) the search still reads the address.
  const auto searched = searchPage(ensureConnection(), selectors, false);
  if (!searched) return {};
  const auto& [page, answers] = *searched;
  PageShown shown{page.url, false};
  for (const FrameAnswer& answer : answers) {
    shown.anyField = shown.anyField || answer.count >= 1;
    if (answer.target.targetId == page.targetId && answer.frameId == page.targetId &&
        !answer.href.empty()) {
      shown.url = answer.href;
    }
  }
  return shown;
}

std::optional<
    std::pair<CDPBrowserController::ActivePage, std::vector<CDPBrowserController::FrameAnswer>>>
CDPBrowserController::searchPage(const Connection& conn, const std::string& selectors,
                                 bool handOut) {
  Json targets;
  std::optional<ActivePage> page = activePage(conn, &targets);
  if (!page) return std::nullopt;
  failOnDialog(*page);
  const std::vector<std::string> frames = frameTargets(targets, *page);
  const Json counting = probeArguments(selectors, "count");
  // Only a page without frames knows from its own document that a match is the only one.
  const Json ofPage = handOut && frames.empty() ? probeArguments(selectors, "sole") : counting;
  std::vector<FrameAnswer> answers = searchFrames(conn, *page, frames, ofPage, counting);
  return std::pair{std::move(*page), std::move(answers)};
}

std::vector<CDPBrowserController::FrameAnswer> CDPBrowserController::searchFrames(
    const Connection& conn, const ActivePage& page, const std::vector<std::string>& frames,
    const Json& ofPage, const Json& arguments) {
  // The page first, then its frame targets, all within one deadline: a frame stuck in a
  // synchronous request costs the search no more than that, and frames not reached by then count
  // nothing.
  const Steady::time_point end =
      Steady::now() + CallBudget::clamp(kSearchDeadline, "the field search");
  std::vector<FrameAnswer> answers;
  {
    const CallBudget search(leftUntil(end));
    answers = probeTarget(conn, page, ofPage, arguments, end, true);
  }
  for (std::vector<FrameAnswer>& more : probeFrameTargets(conn, frames, arguments, end)) {
    for (FrameAnswer& answer : more) answers.push_back(std::move(answer));
  }
  return answers;
}

std::vector<std::vector<CDPBrowserController::FrameAnswer>> CDPBrowserController::probeFrameTargets(
    const Connection& conn, const std::vector<std::string>& frames, const Json& arguments,
    Steady::time_point end) {
  // The frame targets go to whichever prober is free next (this thread and at most kMaxProbes - 1
  // more); each slot is written by the one prober that took its frame. A prober's every wait
  // keeps to the call's budget and the search's end.
  std::vector<std::vector<FrameAnswer>> ofFrame(frames.size());
  std::atomic<std::size_t> taken{0};
  std::atomic<bool> dialogSeen{false};
  const CallBudget::Share callBudget;
  const auto probeFrames = [&] {
    const CallBudget call(callBudget);
    const CallBudget search(leftUntil(end));
    for (std::size_t next = taken++; next < frames.size() && !dialogSeen && Steady::now() < end;
         next = taken++) {
      try {
        ofFrame[next] =
            probeTarget(conn, ActivePage{frames[next], "", ""}, arguments, arguments, end, false);
      } catch (const BrowserError&) {
        dialogSeen = true;
        throw;
      }
    }
  };
  // Declared after everything the probers use, so that their futures wait for them first.
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
  return ofFrame;
}

std::vector<CDPBrowserController::FrameAnswer> CDPBrowserController::probeTarget(
    const Connection& conn, ActivePage target, const Json& ofMain, const Json& arguments,
    Steady::time_point end, bool isPage) {
  std::vector<FrameAnswer> answers;
  try {
    if (target.sessionId.empty()) {
      std::optional<std::string> sessionId = attach(conn, target.targetId);
      if (!sessionId) return answers;
      target.sessionId = std::move(*sessionId);
    }
    failOnDialog(target);
    const auto ask = [&](const std::string& frameId, const Json& asked) {
      answers.push_back(askFrame(conn, target, frameId, asked, leftUntil(end)));
    };
    // The main frame, then, when that document holds frames, each frame the target keeps in its
    // own process (a frame of another site is a target of its own).
    ask(target.targetId, ofMain);
    if (answers.back().frames == 0) return answers;
    for (const std::string& frame : childFrames(conn, target, leftUntil(end))) {
      try {
        ask(frame, arguments);
      } catch (const BrowserError& error) {
        // Gone, or no document of its own yet; a deadline ends the whole target.
        if (error.errorCase() == BrowserError::Case::dialogOpen || isTimeout(error)) throw;
      }
    }
  } catch (const BrowserError& error) {
    if (error.errorCase() == BrowserError::Case::dialogOpen) throw;
    // A page that does not answer at all fails the search: it is not a page without the field.
    if (isPage && answers.empty() && isTimeout(error)) throw;
  }
  return answers;
}

CDPBrowserController::FrameAnswer CDPBrowserController::askFrame(
    const Connection& conn, const ActivePage& target, const std::string& frameId,
    const Json& arguments, std::chrono::milliseconds deadline) {
  const Json reply =
      callInWorld(conn, target, frameId, std::string(scripts::probe), arguments, deadline);
  const Json answer = scriptAnswer(reply);
  FrameAnswer asked;
  asked.target = target;
  asked.frameId = frameId;
  // A remote object in the reply is the answer holding the match it handed out.
  asked.handle = LenientJson(reply)["result"]["objectId"].text();
  const LenientJson found(answer);
  if (found["answer"].text() != "found") return asked;
  asked.count = found["count"].integer().value_or(0);
  asked.frames = found["frames"].integer().value_or(0);
  asked.type = found["type"].text();
  asked.origin = found["origin"].text();
  asked.href = found["href"].text();
  return asked;
}

std::shared_ptr<const FieldHandle> CDPBrowserController::focusSingle(const Connection& conn,
                                                                     const FrameAnswer& hit,
                                                                     FillField field,
                                                                     const std::string& selectors,
                                                                     const std::string& pageURL) {
  const Json reply = callInWorld(conn, hit.target, hit.frameId, std::string(scripts::probe),
                                 probeArguments(selectors, "focus"), kProbeDeadline, true);
  const std::string objectId = LenientJson(reply)["result"]["objectId"].text();
  // Gone or doubled between the two calls: nothing is focused, and the caller sees no element.
  if (objectId.empty()) return nullptr;
  return located(conn, hit, field, objectId, pageURL);
}

std::shared_ptr<const FieldHandle> CDPBrowserController::located(const Connection& conn,
                                                                 const FrameAnswer& hit,
                                                                 FillField field,
                                                                 const std::string& handle,
                                                                 const std::string& pageURL) {
  auto element = std::make_shared<LocatedElement>();
  element->connection = conn;
  element->targetId = hit.target.targetId;
  element->sessionId = hit.target.sessionId;
  element->objectId = handle;
  element->field = field;
  element->origin = hit.origin;
  element->pageURL = pageURL;
  return element;
}

}  // namespace varn::mcp
