#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/WallClock.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// The result of a fill; also the output of "browser_fill", all four keys always written. Never
// holds the value.
struct BrowserFillOutput {
  bool filled = false;
  std::string field;   // the raw value of the kind filled
  std::string origin;  // the origin of the frame that holds the field
  bool submitted = false;

  bool operator==(const BrowserFillOutput&) const = default;
};

VARN_JSON_RECORD(BrowserFillOutput, "browser_fill output", VARN_JSON_FIELD(filled),
                 VARN_JSON_FIELD(field), VARN_JSON_FIELD(origin), VARN_JSON_FIELD(submitted));

// A field that a fill typed into, as a later submit needs it.
struct TypedField {
  std::string ref;
  FieldMatch match;
};

// The one road by which a stored credential reaches a field of a live page. In order: the
// reference parse, the running check, the field location (exactly one visible match), the vault's
// preview decision, the type rule (the vault's type of the value decides which field may take
// it), the opaque-origin refusal and the origin lock on the field's document, the password-field
// check, the resolve road (kill switch, rate limits, decision, approval, audit), the one-time
// code, the typing into the element this call located, and an optional submit. The typing leaves
// the value's binding with the page, whose guard stops any submission of the value by a method or
// to an address the binding does not allow, whoever sets it off. A human is
// therefore asked to approve only a fill that every check allowed, and nothing touches the vault
// before a browser is known to run.
//
// Immutable; copies share the services. Concurrent fills proceed independently: each types only
// into the element its own location found, after the controller re-checked it.
class BrowserFillCore final {
 public:
  // `clock` gives the time of one-time codes.
  BrowserFillCore(std::shared_ptr<ResolveService> resolver, std::shared_ptr<VaultClient> vault,
                  std::shared_ptr<BrowserController> controller, WallClock clock = systemWallClock);

  // Fills the field of kind `field` (found by `selector` when given) with the value of `ref`,
  // released under the tool name `tool` with no upstream; `submit` then submits its form.
  // Blocks for the browser, the vault and a human approval. Throws, at the first failing step:
  // VarnRefError; BrowserError::noBrowser; the controller's errors (ToolError for `custom`
  // without a selector); then as fillLocated and submitTyped. No error text holds the value or
  // the code.
  [[nodiscard]] BrowserFillOutput fill(const std::string& ref, FillField field,
                                       const std::optional<std::string>& selector, bool submit,
                                       const std::string& tool) const;

  // The steps after the field location, for a match the caller located: throws
  // BrowserError::fieldNotFound, ambiguousField (two or more matches), fieldChanged (no element
  // was handed out); the vault client's errors, ResolveError::refused for a refused preview;
  // ToolError::invalidArguments when `field` does not fit the vault's type (before any resolve);
  // BrowserError::opaqueOrigin; OriginLock's errors; BrowserError::concealedFieldRequired; the
  // resolve road's errors; the one-time-code errors; the controller's typing errors.
  [[nodiscard]] TypedField fillLocated(const std::string& ref, FillField field,
                                       const FieldMatch& match, const std::string& tool) const;

  // Submits the form of the last of `typed` (not empty). Returns whether a submission started.
  // When the page's guard stopped it, every typed field is cleared and
  // BrowserError::submitRefused raised; the controller's other submit errors pass through.
  bool submitTyped(const std::vector<TypedField>& typed) const;

  // The type rule: a value the vault types "password" (or gives no type) goes only into field
  // `password`, one it types "otp" only into `otp` (as its current code), any other only into
  // `username` or `custom`. Letter case and surrounding white space do not matter.
  [[nodiscard]] static bool fits(FillField field, const std::optional<std::string>& vaultType);
  // ToolError::invalidArguments naming the field, the reference and the kind the vault holds
  // when the field does not fit.
  static void checkFits(FillField field, const std::optional<std::string>& vaultType,
                        const std::string& ref);

 private:
  std::shared_ptr<ResolveService> resolver_;
  std::shared_ptr<VaultClient> vault_;
  std::shared_ptr<BrowserController> controller_;
  WallClock clock_;
};

}  // namespace varn::mcp
