#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/BrowserFillCore.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/WallClock.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// Arguments of "web_login".
struct WebLoginInput {
  std::string ref;  // "varn://<collection>/<item>", or any field reference of the item
  std::optional<std::string> start_url;

  bool operator==(const WebLoginInput&) const = default;
};

VARN_JSON_RECORD(WebLoginInput, "arguments", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(start_url));

// Result of "web_login". Never holds a value or a code; once anything was typed, page_url holds
// no query and no fragment (a form sent by GET puts its fields there).
struct WebLoginOutput {
  std::string status;  // "logged_in", "needs_human" or "stuck"
  std::string step;
  std::string page_url;
  std::vector<std::string> filled;  // the kinds typed, in typing order

  bool operator==(const WebLoginOutput&) const = default;
};

VARN_JSON_RECORD(WebLoginOutput, "web_login output", VARN_JSON_FIELD(status), VARN_JSON_FIELD(step),
                 VARN_JSON_FIELD(page_url), VARN_JSON_FIELD(filled));

// "web_login": logs the browser's active tab into a site with one stored item, form by form. It
// finds the item's username, password and one-time-code fields (by label, then by the vault's
// listing), opens the item's address (or start_url) under the origin lock, and then, step by
// step, fills every field it can see through the fill pipeline (under its row's name) and
// submits, until no credential field is left (logged in), the page asks for something the item
// cannot give (a human is needed) or nothing moves (stuck).
//
// Immutable; concurrent runs are independent, though they share the browser and may disturb each
// other's page. `settle` is the pause after a step that typed nothing (one second in the server;
// tests pass a function that does not sleep); it must be callable from any thread.
class WebLoginTool final {
 public:
  using Input = WebLoginInput;
  using Output = WebLoginOutput;
  using Settle = std::function<void()>;

  // The server's limits: steps per run, and consecutive steps without typing.
  static constexpr int kMaxSteps = 12;
  static constexpr int kMaxStableRounds = 5;

  // `name` is the tool's, as the audit and the approval prompt show it. `maxSteps` bounds the
  // steps of a run (negative counts as 0); `maxStableRounds` the consecutive steps without
  // typing. `clock` gives the time of one-time codes.
  WebLoginTool(std::shared_ptr<ResolveService> resolver, std::shared_ptr<VaultClient> vault,
               std::shared_ptr<BrowserController> controller, std::string name, int maxSteps,
               int maxStableRounds, Settle settle = pauseOneSecond,
               WallClock clock = systemWallClock);
  // Over the shared services, with the server's limits, a one-second settle and the system's
  // clock.
  WebLoginTool(const ToolServices& services, std::string name)
      : WebLoginTool(services.resolver, services.vault, services.browser, std::move(name),
                     kMaxSteps, kMaxStableRounds) {}

  // Blocks for the browser, the vault and human approvals. Outcomes are reported in the output;
  // throws VarnRefError for a reference that does not parse; ToolError::invalidArguments
  // ("start_url must be http or https") for a start_url of another scheme; BrowserError::noBrowser;
  // the vault's errors for the password field's preview; BrowserError::itemHasNoURL and
  // originMismatch for the start address; the controller's errors; every error of a fill.
  [[nodiscard]] Output run(const Input& input) const;

  // "varn://" + collection + "/" + item + "/" + label, each part percent-encoded outside the
  // characters a URI path segment allows.
  [[nodiscard]] static std::string fieldRef(const std::string& collection, const std::string& item,
                                            const std::string& label);

  // The default settle pause: a second, cut to the calling thread's CallBudget (callTooLong when
  // none of it is left).
  static void pauseOneSecond();

 private:
  using ByKind = std::array<std::vector<std::string>, 3>;
  // The item's field reference for each kind (username, password, otp), where it has one.
  using Refs = std::array<std::optional<std::string>, 3>;
  // What a run has typed so far: the kinds, and their names in typing order.
  struct Filled {
    std::array<bool, 3> kinds{};
    std::vector<std::string> names;
  };

  // The item's fields by label (fieldRef of the kind's name): a kind whose label's preview is
  // refused or fails, or holds a value of another type, stays open.
  [[nodiscard]] Refs refsByLabel(const VarnRef::ItemRef& item) const;
  // Gives each open kind the item's one listed field of that kind; when the listing holds several
  // passwords, the stuck step that names them all instead (else nullopt).
  [[nodiscard]] std::optional<std::string> refsByListing(const VarnRef::ItemRef& item,
                                                         Refs& refs) const;
  // Opens start_url, else the password field's address, under the origin lock; the address the
  // page shows then (the one opened when it cannot be read).
  // itemHasNoURL, originMismatch, the vault's errors and the controller's pass through.
  std::string openStart(const Input& input, const std::string& passwordRef) const;
  // The page's address, or `fallback` when it cannot be read.
  [[nodiscard]] std::string urlOr(std::string fallback) const;
  // The rounds after the start, from the page at `lastURL` (read just now: the first round reads
  // no address of its own): types every visible field not typed yet and submits, or judges a
  // round that typed nothing, until the run ends; its output.
  [[nodiscard]] Output converge(const Refs& refs, std::string lastURL) const;
  // Fills each kind with a reference, not typed yet, that has exactly one visible field, and
  // records it in `filled`; what was typed.
  std::vector<TypedField> typeVisible(const Refs& refs, Filled& filled) const;
  // The needs_human step once a run that typed a password still sees `anyField` (or no field on
  // an unchanged page): a field the item has no credential for, a challenge, or a device approval.
  [[nodiscard]] std::string humanStep(const Refs& refs, bool anyField) const;

  // The item's listed field references by kind (username, password, otp); a failing listing
  // counts as empty.
  [[nodiscard]] ByKind fieldsByKind(const std::string& collection, const std::string& item) const;

  std::string name_;
  BrowserFillCore core_;
  std::shared_ptr<VaultClient> vault_;
  std::shared_ptr<BrowserController> controller_;
  int maxSteps_;
  int maxStableRounds_;
  Settle settle_;
};

}  // namespace varn::mcp
