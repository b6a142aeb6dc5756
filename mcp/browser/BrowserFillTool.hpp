#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/BrowserFillCore.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/WallClock.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// Arguments of "browser_fill".
struct BrowserFillInput {
  std::string ref;
  std::string field;  // checked by the tool, not by the decoder
  std::optional<std::string> selector;
  std::optional<bool> submit;

  bool operator==(const BrowserFillInput&) const = default;
};

VARN_JSON_RECORD(BrowserFillInput, "arguments", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(field),
                 VARN_JSON_FIELD(selector), VARN_JSON_FIELD(submit));

// "browser_fill": types one stored credential into the matching field of the active page through
// the fill pipeline, under the tool's name. Immutable; concurrent runs are independent.
class BrowserFillTool final {
 public:
  using Input = BrowserFillInput;
  using Output = BrowserFillOutput;

  // Over the resolve service, the vault client and the browser controller of `services`; `name` is
  // the tool's, under which the resolve road asks and audits.
  BrowserFillTool(const ToolServices& services, std::string name,
                  WallClock clock = systemWallClock);

  // Throws ToolError::invalidArguments("field must be one of username|password|otp|custom") for
  // any other field text, before anything else; then every error of BrowserFillCore::fill.
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::string name_;
  BrowserFillCore core_;
};

}  // namespace varn::mcp
