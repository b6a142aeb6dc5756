#include "mcp/browser/BrowserFillTool.hpp"

#include "mcp/browser/CallBudget.hpp"
#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {

BrowserFillTool::BrowserFillTool(std::string name, std::shared_ptr<ResolveService> resolver,
                                 std::shared_ptr<VaultClient> vault,
                                 std::shared_ptr<BrowserController> controller, WallClock clock)
    : name_(std::move(name)),
      core_(std::move(resolver), std::move(vault), std::move(controller), std::move(clock)) {}

BrowserFillTool::BrowserFillTool(const ToolServices& services, std::string name)
    : BrowserFillTool(std::move(name), services.resolver, services.vault, services.browser) {}

BrowserFillOutput BrowserFillTool::run(const BrowserFillInput& input) const {
  const CallBudget budget;
  const std::optional<FillField> field = fromString<FillField>(input.field);
  if (!field) {
    throw ToolError::invalidArguments("field must be one of username|password|otp|custom");
  }
  return core_.fill(input.ref, *field, input.selector, input.submit.value_or(false), name_);
}

}  // namespace varn::mcp
