#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/PageChannel.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// Locating a credential field in the page the agent works on and its frames, with the probe script
// (mcp/browser/scripts/probe.js) called through the page channel.
//
// A search runs in the page and in every frame target of that page (never the frames of other
// tabs), side by side, and in each of them also in every frame that Chromium keeps in the target's
// own process (same-site frames, same-origin ones), each in its own isolated world, all within one
// search deadline; a frame that cannot be searched in time counts nothing. Only a single visible
// match is focused; the caller gets a remote object of its own for that element, so concurrent
// calls never share a mark. When the page holds no frame, the search that counts the match also
// focuses and hands it out.
//
// Thread-safe: holds nothing of a search between calls.
class FieldSearch final {
 public:
  // One field search, over all frames together.
  static constexpr std::chrono::milliseconds kSearchDeadline{5000};
  // The most targets one search probes at once (the page's own included), so that a page with
  // hundreds of frames costs no more threads than this.
  static constexpr std::size_t kMaxProbes = 16;
  // The most frames of one target a search looks into besides its main frame.
  static constexpr std::size_t kMaxFrames = 32;

  explicit FieldSearch(PageChannel& channel) : channel_(channel) {}
  FieldSearch(const FieldSearch&) = delete;
  FieldSearch& operator=(const FieldSearch&) = delete;

  // The selectors that find the field: `selector` when given, else those of its kind ("" for
  // `custom`).
  [[nodiscard]] static std::string selectorsOf(FillField field,
                                               const std::optional<std::string>& selector);

  // The visible matches of `selectors` in `page` (attached) and its frame targets among
  // `targets` (a Target.getTargets reply), as BrowserController::locateField counts them; a
  // single match is focused and handed out as a LocatedElement of `field`. dialogOpen while a
  // JavaScript dialog is open on the page or one of its frames; a timeout when the page itself
  // does not answer.
  FieldMatch locate(const PageChannel::Connection& conn, const PageTarget& page,
                    const support::Json& targets, FillField field, const std::string& selectors);
  // One search as locate's, which focuses nothing and in which the page's main document also
  // tells its address (the target's listed address when it does not answer).
  PageShown shown(const PageChannel::Connection& conn, const PageTarget& page,
                  const support::Json& targets, const std::string& selectors);

 private:
  using Connection = PageChannel::Connection;
  using Deadline = std::chrono::steady_clock::time_point;

  // What one frame answered: where it was asked, how many visible matches its document holds, how
  // many frame elements (iframe, frame, object, embed), and the first match's type and its
  // document's origin (a frame that found nothing answers zeros and ""); the remote object holding
  // the match when the probe focused and handed it out ("" when not).
  struct FrameAnswer {
    PageTarget target;
    std::string frameId;
    std::int64_t count = 0;
    std::int64_t frames = 0;
    std::string type;
    std::string origin;
    std::string href;  // the document's address; "" but in the top document
    std::string handle;
  };

  // The answers of the page (asked with `ofPage`) and of its frame targets `frames` (asked with
  // `arguments`), the page's first, within one search deadline. dialogOpen when the page or a
  // frame shows a dialog; a timeout when the page itself does not answer.
  std::vector<FrameAnswer> search(const Connection& conn, const PageTarget& page,
                                  const std::vector<std::string>& frames,
                                  const support::Json& ofPage, const support::Json& arguments);
  // Probes the frame targets `frames` (probeTarget), at most kMaxProbes at once on threads that
  // share the calling thread's CallBudget, until `end`; the answers per frame, in the order of
  // `frames` (empty for a frame not reached). Blocks until every prober has ended. dialogOpen
  // when any of them shows a dialog.
  std::vector<std::vector<FrameAnswer>> probeFrameTargets(const Connection& conn,
                                                          const std::vector<std::string>& frames,
                                                          const support::Json& arguments,
                                                          Deadline end);
  // Runs the probe with `ofMain` in the target's main frame (attaching it first when it has no
  // session yet) and, when that document holds frames, with `arguments` in each of childFrames;
  // every wait ends by `end`. A frame that fails answers nothing and a timed-out one ends the
  // target's search; dialogOpen passes through, and so does a timeout of the page (`isPage`)
  // before it answered anything.
  std::vector<FrameAnswer> probeTarget(const Connection& conn, PageTarget target,
                                       const support::Json& ofMain, const support::Json& arguments,
                                       Deadline end, bool isPage);
  // One probe call in the target's frame `frameId`; its failures pass through.
  FrameAnswer askFrame(const Connection& conn, const PageTarget& target, const std::string& frameId,
                       const support::Json& arguments, std::chrono::milliseconds deadline);
  // The frames, other than its main frame, that the target's renderer holds in the target's own
  // process, depth first, at most kMaxFrames.
  std::vector<std::string> childFrames(const Connection& conn, const PageTarget& target,
                                       std::chrono::milliseconds deadline);
  // Focuses the single match of `selectors` in the frame that found it and hands out its element;
  // null when the frame no longer holds exactly one.
  std::shared_ptr<const FieldHandle> focusSingle(const Connection& conn, const FrameAnswer& hit,
                                                 FillField field, const std::string& selectors,
                                                 const std::string& pageURL);

  PageChannel& channel_;
};

// The frame targets a field search looks into besides the page: every frame target of `targets`
// (a Target.getTargets reply) whose parent chain reaches the page `pageId`.
[[nodiscard]] std::vector<std::string> frameTargetsOf(const support::Json& targets,
                                                      const std::string& pageId);

}  // namespace varn::mcp
