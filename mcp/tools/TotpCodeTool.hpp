#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/WallClock.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// Arguments of "totp_code".
struct TotpCodeInput {
  std::string ref;  // reference (or minted handle) of a one-time-code field
};
VARN_JSON_RECORD(TotpCodeInput, "arguments", VARN_JSON_FIELD(ref));

// Result of "totp_code": the current code and the seconds left in its period. Never the seed.
struct TotpCodeOutput {
  std::string code;
  std::int64_t remaining_seconds;

  bool operator==(const TotpCodeOutput&) const = default;
};
VARN_JSON_RECORD(TotpCodeOutput, "output", VARN_JSON_FIELD(code),
                 VARN_JSON_FIELD(remaining_seconds));

// "totp_code": passes the stored field value (an otpauth URI or a bare Base32 seed) through the
// resolve road under the tool's name and computes the code in the server. The clock is
// read twice: once for the code and once, afterwards, for the remaining seconds, so at the end of
// a period the two may belong to adjacent periods. Immutable; concurrent runs are independent.
class TotpCodeTool final {
 public:
  using Input = TotpCodeInput;
  using Output = TotpCodeOutput;

  // Over the resolve service of `services`; `name` is the tool's, under which the resolve road
  // asks and audits.
  TotpCodeTool(const ToolServices& services, std::string name, WallClock clock = systemWallClock);

  // Blocks for the resolve road (possibly a human approval). Throws the road's errors unchanged
  // (ResolveError, VarnRefError, ToolError), and the code computation's
  // (crypto::OTPAuthURI::ParseError, crypto::TOTP::TOTPError), whose texts never hold the seed.
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::string name_;
  std::shared_ptr<ResolveService> resolver_;
  WallClock clock_;
};

}  // namespace varn::mcp
