#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/WallClock.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// The result of a fill; also the output of "browser_fill". Never holds the value.
struct BrowserFillOutput {
  bool filled = false;
  std::string field;   // the raw value of the kind filled
  std::string origin;  // the origin of the frame that holds the field
  bool submitted = false;

  // Keys in this order, all four always written and required.
  static BrowserFillOutput fromJson(const support::Json& object);
  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserFillOutput&) const = default;
};

VARN_JSON_RECORD(BrowserFillOutput, "browser_fill output", VARN_JSON_FIELD(filled),
                 VARN_JSON_FIELD(field), VARN_JSON_FIELD(origin), VARN_JSON_FIELD(submitted));

// The one road by which a stored credential reaches a field of a live page. In order: the
// reference parse, the running check, the field location (exactly one visible match), the vault's
// preview decision, the origin lock on the field's frame, the password-field check, the resolve
// road (kill switch, rate limits, decision, approval, audit), the one-time code, the typing and an
// optional submit. A human is therefore asked to approve only a fill that every check allowed, and
// nothing touches the vault before a browser is known to run.
//
// Immutable; copies share the services. Concurrent fills proceed independently: the controller
// re-checks, just before typing, that the located field and its frame's origin are unchanged.
class BrowserFillCore final {
 public:
  // `clock` gives the time of one-time codes.
  BrowserFillCore(std::shared_ptr<ResolveService> resolver, std::shared_ptr<VaultClient> vault,
                  std::shared_ptr<BrowserController> controller, WallClock clock = systemWallClock);

  // Fills the field of kind `field` (found by `selector` when given) with the value of `ref`,
  // released under the tool name `tool` with no upstream; `submit` then submits its form.
  // Blocks for the browser, the vault and a human approval. Throws, at the first failing step:
  // VarnRefError; BrowserError::noBrowser; the controller's errors (ToolError for `custom`
  // without a selector); BrowserError::fieldNotFound, ambiguousField (two or more matches, with
  // or without a selector); the vault client's errors, ResolveError::refused for a refused
  // preview; OriginLock's errors; BrowserError::concealedFieldRequired; the resolve road's
  // errors; the one-time-code errors; the controller's typing and submit errors. No error text
  // holds the value or the code.
  [[nodiscard]] BrowserFillOutput fill(const std::string& ref, FillField field,
                                       const std::optional<std::string>& selector, bool submit,
                                       const std::string& tool) const;

 private:
  std::shared_ptr<ResolveService> resolver_;
  std::shared_ptr<VaultClient> vault_;
  std::shared_ptr<BrowserController> controller_;
  WallClock clock_;
};

}  // namespace varn::mcp
