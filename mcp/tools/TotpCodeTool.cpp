#include "mcp/tools/TotpCodeTool.hpp"

#include <string.h>  // explicit_bzero
#include <chrono>

#include "crypto/otp/TOTP.hpp"

namespace varn::mcp {
namespace {

crypto::TOTP::Date toDate(double secondsSince1970) {
  return crypto::TOTP::Date(std::chrono::duration<double>(secondsSince1970));
}

// Wipes the seed when the call ends, on every path.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& text) : text_(text) {}
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;
  ~WipedOnExit() {
    text_.resize(text_.capacity());
    explicit_bzero(text_.data(), text_.size());
  }

 private:
  std::string& text_;
};

}  // namespace

TotpCodeInput TotpCodeInput::fromJson(const support::Json& json) {
  support::requireObject(json, "arguments");
  return TotpCodeInput{.ref = support::requireString(json, "ref")};
}

support::OrderedJson TotpCodeOutput::toJson() const {
  support::OrderedJson out = support::OrderedJson::object();
  out["code"] = code;
  out["remaining_seconds"] = remaining_seconds;
  return out;
}

TotpCodeTool::TotpCodeTool(std::shared_ptr<ResolveService> resolver, WallClock clock)
    : resolver_(std::move(resolver)), clock_(std::move(clock)) {}

TotpCodeOutput TotpCodeTool::run(const TotpCodeInput& input) const {
  std::string fieldValue = resolver_->resolveValue(input.ref, "totp_code", std::nullopt);
  WipedOnExit wipe(fieldValue);
  std::string code = crypto::TOTP::code(fieldValue, toDate(clock_()));
  std::int64_t remaining = crypto::TOTP::remaining(fieldValue, toDate(clock_()));
  return TotpCodeOutput{std::move(code), remaining};
}

}  // namespace varn::mcp
