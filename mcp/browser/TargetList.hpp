#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/browser/CDPConnection.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The browser's targets as its discovery events report them (Target.setDiscoverTargets), front
// first: each target's id, type and parent, and a page's address. The choice of the page and a
// field search read it instead of asking the browser for its list, a question a browser busy with
// a page load answers late. Titles are not kept: the events do not follow them.
//
// The list is complete once the discovery command has been answered on the bound connection:
// Chromium reports every target there is before that reply (kept in the order reported), and each
// later change as it happens. A target reported later (a tab a page or anyone opened) comes to the
// front, as the browser brings it there, and so does a target the agent activated (activate); the
// agent's choice stands until an ordinary page opens after it.
// It holds at most kMaxTargets targets and kMaxAddressBytes of page addresses; a browser that
// outgrows either is no longer listed here (infos gives nullopt until the next bind), so a page
// that opens targets without end costs no memory beyond that.
//
// Everything recorded belongs to the one bound connection (bind); events of any other connection
// are ignored. Thread-safe; no lock is held across anything but the list itself.
class TargetList final {
 public:
  static constexpr std::size_t kMaxTargets = 4096;
  static constexpr std::size_t kMaxAddressBytes = 8 << 20;

  TargetList() = default;
  TargetList(const TargetList&) = delete;
  TargetList& operator=(const TargetList&) = delete;

  // Makes `connection` (nullptr: none) the one whose targets are listed, forgetting every target
  // recorded before; the list is incomplete until discovered. The connection must outlive its
  // binding.
  void bind(const CDPConnection* connection);
  // Records one DevTools event that came over `from` (on its I/O thread): a target created or
  // changed (Target.targetCreated, Target.targetInfoChanged) or destroyed (Target.targetDestroyed).
  void onEvent(const CDPConnection& from, const support::Json& event);
  // Marks the list of `connection` complete, when it is the bound one: its discovery command has
  // been answered.
  void discovered(const CDPConnection& connection);

  // Brings the target to the front as the agent's choice, when `connection` is the bound one.
  void activate(const CDPConnection& connection, const std::string& targetId);
  // The target the agent activated last, unless it has gone or an ordinary page has been reported
  // since; nullopt too when `connection` is not the bound one. Kept also while the list is
  // outgrown.
  [[nodiscard]] std::optional<std::string> activated(const CDPConnection& connection);

  // The targets, front first, as the "targetInfos" array of a Target.getTargets reply (with
  // "targetId", "type", "parentId" when the target has one, and "url" for pages), when `connection`
  // is the bound one, its list is complete and within bounds, and some target has been reported;
  // else nullopt.
  [[nodiscard]] std::optional<support::Json> infos(const CDPConnection& connection);

  // Whether a page at `url` stands back for any other: "chrome://", "chrome-extension://",
  // "devtools://" and "about:" pages.
  [[nodiscard]] static bool isBackgroundURL(std::string_view url);

 private:
  // Requires mutex_.
  void recordLocked(const support::Json& info);
  // The kept target with this id, else targets_.end(). Requires mutex_.
  std::vector<support::Json>::iterator findLocked(const std::string& targetId);

  std::mutex mutex_;
  const CDPConnection* bound_ = nullptr;  // guarded by mutex_
  bool complete_ = false;                 // guarded by mutex_
  bool outgrown_ = false;                 // guarded by mutex_
  std::size_t addressBytes_ = 0;          // guarded by mutex_
  std::vector<support::Json> targets_;    // front first; guarded by mutex_
  std::optional<std::string> activated_;  // guarded by mutex_
};

}  // namespace varn::mcp
