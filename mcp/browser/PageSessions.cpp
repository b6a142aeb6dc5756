#include "mcp/browser/PageSessions.hpp"

#include <algorithm>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {
using support::Json;
using Steady = std::chrono::steady_clock;

void PageSessions::bind(const CDPConnection* connection) {
  std::lock_guard lock(mutex_);
  bound_ = connection;
  sessions_.clear();
  closed_.clear();
  enabledEarly_.clear();
}

PageSessions::Sessions::iterator PageSessions::bySessionLocked(
    const std::optional<std::string>& sessionId) {
  return std::find_if(sessions_.begin(), sessions_.end(),
                      [&](const auto& entry) { return entry.second.id == sessionId; });
}

PageSessions::Session* PageSessions::keptLocked(const std::string& targetId,
                                                const std::string& sessionId) {
  const auto kept = sessions_.find(targetId);
  return kept != sessions_.end() && kept->second.id == sessionId ? &kept->second : nullptr;
}

void PageSessions::onEvent(const CDPConnection& from, const Json& event) {
  const LenientJson in(event);
  const std::string method = in["method"].text();
  const LenientJson params = in["params"];
  std::lock_guard lock(mutex_);
  if (bound_ != &from) return;
  if (method == "Target.detachedFromTarget") {
    if (auto it = bySessionLocked(params["sessionId"].optionalText()); it != sessions_.end()) {
      sessions_.erase(it);
    }
  } else if (method == "Target.targetDestroyed") {
    sessions_.erase(params["targetId"].text());
  } else if (method == "Page.javascriptDialogOpening" || method == "Page.javascriptDialogClosed") {
    if (auto it = bySessionLocked(in["sessionId"].optionalText()); it != sessions_.end()) {
      it->second.dialogOpen = method == "Page.javascriptDialogOpening";
      it->second.dialogType = params["type"].text();
      it->second.dialogMessage = params["message"].text();
    }
  } else if (method == "Page.frameNavigated") {
    const LenientJson frame = params["frame"];
    if (!frame.isObject()) return;
    const auto it = bySessionLocked(in["sessionId"].optionalText());
    if (it == sessions_.end()) return;
    if (frame.has("parentId")) {
      // The frame's new document has a world of its own.
      it->second.worlds.erase(frame["id"].text());
      return;
    }
    it->second.loaderId = frame["loaderId"].text();
    it->second.loaded = false;
    it->second.worlds.clear();
  } else if (method == "Page.frameStoppedLoading") {
    // The main frame of a session has its target's id.
    if (auto it = sessions_.find(params["frameId"].text()); it != sessions_.end()) {
      it->second.loaded = true;
    }
  } else {
    return;
  }
  changed_.notify_all();
}

std::optional<std::string> PageSessions::sessionOf(const CDPConnection& connection,
                                                   const std::string& targetId) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return std::nullopt;
  const auto kept = sessions_.find(targetId);
  if (kept == sessions_.end()) return std::nullopt;
  return kept->second.id;
}

std::string PageSessions::keep(const CDPConnection& connection, const std::string& targetId,
                               std::string sessionId) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return sessionId;
  Session fresh;
  fresh.pageEnabled = enabledEarly_.erase(sessionId) > 0;
  fresh.id = std::move(sessionId);
  auto [kept, inserted] = sessions_.try_emplace(targetId, std::move(fresh));
  return kept->second.id;
}

void PageSessions::forget(const std::string& targetId, const std::string& sessionId) {
  std::lock_guard lock(mutex_);
  if (keptLocked(targetId, sessionId) != nullptr) sessions_.erase(targetId);
}

void PageSessions::forgetVanished(const CDPConnection& connection, const Json& targetInfos) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return;
  std::set<std::string> listed;
  for (const Json& entry : targetInfos) {
    if (entry.is_object()) listed.insert(LenientJson(entry)["targetId"].text());
  }
  std::erase_if(sessions_, [&](const auto& entry) { return !listed.contains(entry.first); });
  std::erase_if(closed_, [&](const std::string& id) { return !listed.contains(id); });
}

void PageSessions::markClosed(const CDPConnection& connection, const std::string& targetId) {
  std::lock_guard lock(mutex_);
  if (bound_ == &connection) closed_.insert(targetId);
}

std::set<std::string> PageSessions::closedTargets() {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool PageSessions::dialogOpen(const std::string& targetId) {
  std::lock_guard lock(mutex_);
  const auto kept = sessions_.find(targetId);
  return kept != sessions_.end() && kept->second.dialogOpen;
}

void PageSessions::failOnDialog(const std::string& targetId, const std::string& sessionId) {
  std::lock_guard lock(mutex_);
  if (const Session* kept = keptLocked(targetId, sessionId); kept != nullptr && kept->dialogOpen) {
    throw BrowserError::dialogOpen(kept->dialogType, kept->dialogMessage);
  }
}

void PageSessions::clearDialog(const std::string& targetId) {
  std::lock_guard lock(mutex_);
  if (auto kept = sessions_.find(targetId); kept != sessions_.end())
    kept->second.dialogOpen = false;
}

void PageSessions::pageEnableAnswered(const CDPConnection& connection, const std::string& targetId,
                                      const std::string& sessionId) {
  {
    std::lock_guard lock(mutex_);
    if (bound_ != &connection) return;
    Session* kept = keptLocked(targetId, sessionId);
    if (kept == nullptr) {
      enabledEarly_.insert(sessionId);
      return;
    }
    kept->pageEnabled = true;
  }
  changed_.notify_all();
}

bool PageSessions::pageEnabled(const std::string& targetId, const std::string& sessionId) {
  std::lock_guard lock(mutex_);
  const Session* kept = keptLocked(targetId, sessionId);
  return kept != nullptr && kept->pageEnabled;
}

bool PageSessions::awaitPageEnabled(const std::string& targetId, const std::string& sessionId,
                                    std::chrono::milliseconds window) {
  (void)waitUntil(targetId, sessionId, Steady::now() + CallBudget::clamp(window, "the page"),
                  [](const Session& session) { return session.pageEnabled; });
  return pageEnabled(targetId, sessionId);
}

std::string PageSessions::loaderOf(const std::string& targetId) {
  std::lock_guard lock(mutex_);
  const auto kept = sessions_.find(targetId);
  return kept != sessions_.end() ? kept->second.loaderId : "";
}

bool PageSessions::committed(const std::string& targetId, const std::string& sessionId,
                             const std::string& loaderId) {
  std::lock_guard lock(mutex_);
  const Session* kept = keptLocked(targetId, sessionId);
  return kept == nullptr || kept->loaderId == loaderId;
}

std::string PageSessions::worldOf(const std::string& targetId, const std::string& sessionId,
                                  const std::string& frameId) {
  std::lock_guard lock(mutex_);
  if (const Session* kept = keptLocked(targetId, sessionId); kept != nullptr) {
    const auto found = kept->worlds.find(frameId);
    if (found != kept->worlds.end()) return found->second;
  }
  return "";
}

void PageSessions::keepWorld(const CDPConnection& connection, const std::string& targetId,
                             const std::string& sessionId, const std::string& frameId,
                             std::string objectId) {
  std::lock_guard lock(mutex_);
  if (bound_ != &connection) return;
  if (Session* kept = keptLocked(targetId, sessionId); kept != nullptr) {
    kept->worlds[frameId] = std::move(objectId);
  }
}

void PageSessions::pauseForLoad(const std::string& targetId, const std::string& sessionId,
                                const std::optional<std::string>& loaderId, bool& loadSeen,
                                std::chrono::milliseconds pause) {
  pause = CallBudget::clamp(pause, "the page load");
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, pause, [&] {
    const Session* kept = keptLocked(targetId, sessionId);
    if (kept == nullptr) return false;
    if (kept->dialogOpen) return true;
    const bool current = !loaderId || kept->loaderId == *loaderId;
    if (!loadSeen && current && kept->loaded) return loadSeen = true;
    return false;
  });
}

bool PageSessions::waitUntil(const std::string& targetId, const std::string& sessionId,
                             Steady::time_point until,
                             const std::function<bool(const Session&)>& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, until, [&] {
    const Session* kept = keptLocked(targetId, sessionId);
    return kept == nullptr || kept->dialogOpen || done(*kept);
  });
}

void PageSessions::awaitDocument(const std::string& targetId, const std::string& sessionId,
                                 const std::string& loaderBefore, std::chrono::milliseconds window,
                                 std::chrono::milliseconds loadWindow,
                                 const std::function<void()>& committed) {
  const Steady::time_point start = Steady::now();
  // No document committed within the window: the submit did not navigate.
  if (!waitUntil(targetId, sessionId,
                 start + CallBudget::clamp(window, "the page after the submit"),
                 [&](const Session& session) { return session.loaderId != loaderBefore; })) {
    return;
  }
  if (committed) committed();
  (void)waitUntil(targetId, sessionId,
                  start + CallBudget::clamp(loadWindow, "the page after the submit"),
                  [](const Session& session) { return session.loaded; });
}

}  // namespace varn::mcp
