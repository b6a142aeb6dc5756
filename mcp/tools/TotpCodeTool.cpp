#include "mcp/tools/TotpCodeTool.hpp"

#include <chrono>

#include "crypto/otp/TOTP.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
namespace {

crypto::TOTP::Date toDate(double secondsSince1970) {
  return crypto::TOTP::Date(std::chrono::duration<double>(secondsSince1970));
}

}  // namespace

TotpCodeTool::TotpCodeTool(const ToolServices& services, std::string name, WallClock clock)
    : name_(std::move(name)), resolver_(services.resolver), clock_(std::move(clock)) {}

TotpCodeOutput TotpCodeTool::run(const TotpCodeInput& input) const {
  std::string fieldValue = resolver_->resolveValue(input.ref, name_, std::nullopt);
  support::WipedOnExit wipe(fieldValue);
  std::string code = crypto::TOTP::code(fieldValue, toDate(clock_()));
  std::int64_t remaining = crypto::TOTP::remaining(fieldValue, toDate(clock_()));
  return TotpCodeOutput{std::move(code), remaining};
}

}  // namespace varn::mcp
