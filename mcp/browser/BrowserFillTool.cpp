#include "mcp/browser/BrowserFillTool.hpp"

#include "mcp/browser/CallBudget.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {

BrowserFillTool::BrowserFillTool(const ToolServices& services, std::string name, WallClock clock)
    : name_(std::move(name)),
      core_(services.resolver, services.vault, services.browser, std::move(clock)) {}

BrowserFillOutput BrowserFillTool::run(const BrowserFillInput& input) const {
  const CallBudget budget;
  const std::optional<FillField> field = fromString<FillField>(input.field);
  if (!field) {
    throw ToolError::invalidArguments("field must be one of username|password|otp|custom");
  }
  return core_.fill(input.ref, *field, input.selector, input.submit.value_or(false), name_);
}

}  // namespace varn::mcp
