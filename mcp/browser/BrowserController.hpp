#pragma once

// The vocabulary shared by the whole browser layer: the result of locating a field, one listed tab,
// and the controller interface through which the browser tools, the fill pipeline and the web
// login drive a browser; with BrowserError.hpp, the fillable credential fields and the browser
// layer's error.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mcp/browser/BrowserError.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// The element a locateField call found, as the controller that found it holds it. Opaque to
// everything else: it is how one call's typing and submit reach the element that call located and
// checked, and no other.
class FieldHandle {
 public:
  virtual ~FieldHandle() = default;
};

// What a login sees of the active page between its steps. Never encoded.
struct PageShown {
  std::string url;  // the page's address; "" when it could not be read
  bool anyField = false;
};

// The result of locating one field on the live page. Never encoded.
struct FieldMatch {
  // Candidate inputs found, summed over the page and its frames.
  std::int64_t count = 0;
  // The type property of the (first) matched input as the page reports it; empty for no match.
  std::string inputType;
  // Origin of the document (page or frame) that holds the (first) match; empty for no match.
  std::string frameOrigin;
  // Whether the single match was given keyboard focus.
  bool focused = false;
  // URL of the top-level page; empty when there is no page.
  std::string pageURL;
  // The single match, for this caller alone; null unless count is 1 and it was focused.
  std::shared_ptr<const FieldHandle> element;

  bool operator==(const FieldMatch&) const = default;
};

// The binding a typed value is held to, in the terms in which a page judges an address by the
// origin lock's rule (OriginLock::binding makes it): an address lies within it when it is http or
// https (https only, when `https`) and its host is one of `hosts`, or is the domain of one of
// `sites` or lies under it, outside the zones of that site's tenants.
struct FillBinding {
  // A registrable domain of the binding, and the zones of the public suffix list below it, each of
  // whose hosts is a site of its own: "zone" holds the zone and the hosts under it, ".zone" the
  // hosts under it.
  struct Site {
    std::string domain;
    std::vector<std::string> tenants;

    bool operator==(const Site&) const = default;
  };

  std::string lockedTo;  // the text that names the binding in an error
  bool https = false;    // the item's address is https, so plain http is outside
  std::vector<std::string> hosts;
  std::vector<Site> sites;

  bool operator==(const FillBinding&) const = default;
};

// One browser tab as listed by BrowserController::listTabs and returned by browser_tabs.
// JSON: {"id", "url", "title", "active"}, all four written and all four required with their exact
// types when read; other keys are ignored.
struct TabInfo {
  std::string id;  // the browser's target identifier, as taken by activateTab and closeTab
  std::string url;
  std::string title;
  bool active = false;  // the tab the agent is working in

  bool operator==(const TabInfo&) const = default;
};

VARN_JSON_RECORD(TabInfo, "tab", VARN_JSON_FIELD(id), VARN_JSON_FIELD(url), VARN_JSON_FIELD(title),
                 VARN_JSON_FIELD(active));

// A browser tool call in progress, from beginUse() until it is dropped: see
// BrowserController::beginUse. Move-only; an empty one marks nothing.
class BrowserUse final {
 public:
  BrowserUse() = default;
  explicit BrowserUse(std::function<void()> end) : end_(std::move(end)) {}
  BrowserUse(BrowserUse&& other) noexcept : end_(std::exchange(other.end_, nullptr)) {}
  BrowserUse& operator=(BrowserUse&&) = delete;
  BrowserUse(const BrowserUse&) = delete;
  BrowserUse& operator=(const BrowserUse&) = delete;
  ~BrowserUse() {
    if (end_) end_();
  }

 private:
  std::function<void()> end_;
};

// Drives one dedicated browser. The browser tools, the fill pipeline and the web login hold it
// only through this interface.
//
// Every operation blocks its caller until done; implementations are called from many tool calls
// at once and must be thread-safe. Failures are thrown: BrowserError, or the lower layers' own
// errors passed on unchanged. The last six operations have defaults for an implementation without
// idle control, tab control or dialog control.
class BrowserController {
 public:
  // What start reports: the browser's remote-debugging port, and whether it ran before the call.
  struct StartResult {
    std::int64_t port = 0;
    bool alreadyRunning = false;

    bool operator==(const StartResult&) const = default;
  };

  virtual ~BrowserController() = default;

  // Whether the managed browser process is alive. Never throws.
  virtual bool isRunning() = 0;
  // Starts the browser unless it already runs (then `headless` has no effect).
  virtual StartResult start(bool headless) = 0;
  // Stops the browser and drops all per-browser state; harmless when nothing runs.
  virtual void stop() = 0;
  // Loads the URL in the active page and waits for it to finish loading; the address the loaded
  // page shows, or "" when the wait ended before the load did (currentURL then tells).
  virtual std::string navigate(const std::string& url) = 0;
  // URL of the active page.
  virtual std::string currentURL() = 0;
  // Finds the candidate inputs for the field, or for the CSS selector when one is given, and
  // focuses the match when there is exactly one, handing it to the caller as the match's element.
  // The reported input type is the element's own: an input's type property, or "<tag>" for an
  // element that is no input. The frame origin is the origin of the match's own document ("null"
  // when that is opaque).
  virtual FieldMatch locateField(FillField field, const std::optional<std::string>& selector) = 0;
  // The active page's address and whether a field of any of `kinds` shows, by their own
  // selectors. By default currentURL (a failure reads as "") and one locateField per kind (which
  // may focus a single match); a controller that can reads both in one search that focuses
  // nothing. The errors of locateField.
  virtual PageShown shownPage(std::span<const FillField> kinds);
  // Sets the text as the value of the located element, in one step no page script can come
  // between, and only when the element is still connected, still of the kind the field needs (a
  // password input for `password`; an input or text area otherwise), still holds the focus, and
  // its document still has the origin reported for it (not opaque). Otherwise nothing is typed
  // and fieldChanged or originMismatch says what changed. The text is a secret: it is neither kept
  // nor logged nor put into an error.
  //
  // From then on the element's document guards every native submission of a form holding the
  // element, whatever it holds by then, whoever sets it off: one that would send it by GET (for a
  // password) or to an address outside `binding` is stopped before anything is sent, and every
  // typed element of the form cleared.
  virtual void typeInto(const FieldMatch& match, const std::string& text,
                        const FillBinding& binding) = 0;
  // Submits the element's form (else clicks the best-scored button, else presses Enter). Returns
  // whether a submission started (the page's script may take it over); false when the form did
  // not submit or a key press led to none. submitRefused when the document's guard stopped a
  // submission it set off.
  virtual bool submit(const FieldMatch& match) = 0;
  // Empties the located element's value (a typing that must not be sent). Best effort: no error
  // when the element is gone.
  virtual void clearField(const FieldMatch& match) = 0;

  // Replaces the idle auto-stop window for this browser; nullopt returns to the default window.
  // Never throws. Default: does nothing.
  virtual void setIdleTimeout(std::optional<std::int64_t> seconds);
  // Marks the browser in use until the returned mark is dropped: no idle stop comes meanwhile,
  // and the call's beginning and end count as use. A browser tool holds it for its whole call,
  // approval waits included. Never throws. Default: marks nothing.
  [[nodiscard]] virtual BrowserUse beginUse();
  // The browser's page tabs. Default: cdpFailure("tab control not supported by this controller").
  virtual std::vector<TabInfo> listTabs();
  // Brings the tab with this TabInfo id to the front. Default: as listTabs.
  virtual void activateTab(const std::string& id);
  // Closes the tab with this TabInfo id. Default: as listTabs.
  virtual void closeTab(const std::string& id);
  // Accepts or dismisses the open JavaScript dialog of the active page; promptText answers a
  // prompt. Default: cdpFailure("dialog control not supported by this controller").
  virtual void handleDialog(bool accept, const std::optional<std::string>& promptText);

 protected:
  BrowserController() = default;
  BrowserController(const BrowserController&) = default;
  BrowserController& operator=(const BrowserController&) = default;
};

}  // namespace varn::mcp
