#include "mcp/browser/FieldSearch.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <map>

#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/PageScripts.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using Steady = std::chrono::steady_clock;

// Selectors per kind, when the caller gives none.
constexpr const char* kUsernameSelectors =
    "input[autocomplete=username], input[autocomplete=email], input[type=email], "
    "input[name*=user i], input[id*=user i], input[name*=email i]";
constexpr const char* kPasswordSelectors = "input[type=password]";
constexpr const char* kOtpSelectors =
    "input[autocomplete=one-time-code], input[name*=otp i], input[id*=otp i], "
    "input[name*=code i]";

// The probe's arguments: the selectors, and its mode ("count", "sole" or "focus").
Json probeArguments(const std::string& selectors, const char* mode) {
  return Json::array({Json{{"value", selectors}}, Json{{"value", mode}}});
}

// What is left until `end`, at least a millisecond (a wait of zero would not be a wait).
std::chrono::milliseconds leftUntil(Steady::time_point end) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()),
                  std::chrono::milliseconds(1));
}

// The element of `hit` that the remote object `handle` holds, as a match hands it out.
std::shared_ptr<const FieldHandle> located(const PageChannel::Connection& conn,
                                           const PageTarget& target, FillField field,
                                           const std::string& origin, const std::string& handle,
                                           const std::string& pageURL) {
  auto element = std::make_shared<LocatedElement>();
  element->connection = conn;
  element->targetId = target.targetId;
  element->sessionId = target.sessionId;
  element->objectId = handle;
  element->field = field;
  element->origin = origin;
  element->pageURL = pageURL;
  return element;
}

}  // namespace

std::string FieldSearch::selectorsOf(FillField field, const std::optional<std::string>& selector) {
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

std::vector<std::string> frameTargetsOf(const Json& targets, const std::string& pageId) {
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
      if (parent->second == pageId) return true;
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

FieldMatch FieldSearch::locate(const Connection& conn, const PageTarget& page, const Json& targets,
                               FillField field, const std::string& selectors) {
  const std::vector<std::string> frames = frameTargetsOf(targets, page.targetId);
  const Json counting = probeArguments(selectors, "count");
  // Only a page without frames knows from its own document that a match is the only one.
  const Json ofPage = frames.empty() ? probeArguments(selectors, "sole") : counting;
  const std::vector<FrameAnswer> answers = search(conn, page, frames, ofPage, counting);

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
    match.element = hit->handle.empty()
                        ? focusSingle(conn, *hit, field, selectors, page.url)
                        : located(conn, hit->target, field, hit->origin, hit->handle, page.url);
  }
  match.focused = match.element != nullptr;
  return match;
}

PageShown FieldSearch::shown(const Connection& conn, const PageTarget& page, const Json& targets,
                             const std::string& selectors) {
  const Json counting = probeArguments(selectors, "count");
  PageShown shown{page.url, false};
  const std::vector<std::string> frames = frameTargetsOf(targets, page.targetId);
  for (const FrameAnswer& answer : search(conn, page, frames, counting, counting)) {
    shown.anyField = shown.anyField || answer.count >= 1;
    if (answer.target.targetId == page.targetId && answer.frameId == page.targetId &&
        !answer.href.empty()) {
      shown.url = answer.href;
    }
  }
  return shown;
}

std::vector<FieldSearch::FrameAnswer> FieldSearch::search(const Connection& conn,
                                                          const PageTarget& page,
                                                          const std::vector<std::string>& frames,
                                                          const Json& ofPage,
                                                          const Json& arguments) {
  channel_.failOnDialog(page);
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

std::vector<std::vector<FieldSearch::FrameAnswer>> FieldSearch::probeFrameTargets(
    const Connection& conn, const std::vector<std::string>& frames, const Json& arguments,
    Deadline end) {
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
            probeTarget(conn, PageTarget{frames[next], "", ""}, arguments, arguments, end, false);
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

std::vector<FieldSearch::FrameAnswer> FieldSearch::probeTarget(const Connection& conn,
                                                               PageTarget target,
                                                               const Json& ofMain,
                                                               const Json& arguments, Deadline end,
                                                               bool isPage) {
  std::vector<FrameAnswer> answers;
  try {
    if (target.sessionId.empty()) {
      std::optional<std::string> sessionId = channel_.attach(conn, target.targetId);
      if (!sessionId) return answers;
      target.sessionId = std::move(*sessionId);
    }
    channel_.failOnDialog(target);
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

FieldSearch::FrameAnswer FieldSearch::askFrame(const Connection& conn, const PageTarget& target,
                                               const std::string& frameId, const Json& arguments,
                                               std::chrono::milliseconds deadline) {
  const ScriptReply reply =
      channel_.call(conn, target, frameId, scripts::probe, arguments, deadline);
  FrameAnswer asked;
  asked.target = target;
  asked.frameId = frameId;
  // An object handed out is the answer holding the match.
  asked.handle = reply.handle;
  if (reply.kind() != "found") return asked;
  asked.count = reply["count"].integer().value_or(0);
  asked.frames = reply["frames"].integer().value_or(0);
  asked.type = reply["type"].text();
  asked.origin = reply["origin"].text();
  asked.href = reply["href"].text();
  return asked;
}

std::vector<std::string> FieldSearch::childFrames(const Connection& conn, const PageTarget& target,
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

std::shared_ptr<const FieldHandle> FieldSearch::focusSingle(const Connection& conn,
                                                            const FrameAnswer& hit, FillField field,
                                                            const std::string& selectors,
                                                            const std::string& pageURL) {
  const ScriptReply reply =
      channel_.call(conn, hit.target, hit.frameId, scripts::probe,
                    probeArguments(selectors, "focus"), PageChannel::kScriptDeadline, true);
  // Gone or doubled between the two calls: nothing is focused, and the caller sees no element.
  if (reply.handle.empty()) return nullptr;
  return located(conn, hit.target, field, hit.origin, reply.handle, pageURL);
}

}  // namespace varn::mcp
