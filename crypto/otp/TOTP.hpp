#pragma once

// Time-based one-time codes (RFC 6238: HOTP of RFC 4226 over a time counter) from a stored
// one-time-code field, which holds either an otpauth URI or a bare Base32 secret.

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace varn::crypto {

struct OTPAuthURI;

// Static operations only; pure and thread-safe. Nothing passed in is retained.
class TOTP final {
 public:
  TOTP() = delete;

  // A point on the Unix time line in double-precision seconds. A system_clock::time_point converts
  // to it implicitly; unlike one it reaches far beyond the year 2262.
  using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

  // The hash function of the HMAC.
  enum class Algorithm { sha1, sha256, sha512 };

  // "sha1", "sha256" or "sha512".
  [[nodiscard]] static std::string_view toString(Algorithm algorithm) noexcept;
  // Exactly one of those three texts (case-sensitive); anything else gives nullopt.
  [[nodiscard]] static std::optional<Algorithm> algorithmFromString(std::string_view text) noexcept;

  // The secret is not usable Base32 text. what() is "invalidSecret"; it never names the secret.
  class TOTPError : public std::exception {
   public:
    enum class Case { invalidSecret };

    static TOTPError invalidSecret() noexcept { return TOTPError(Case::invalidSecret); }

    Case errorCase() const noexcept { return case_; }
    const char* what() const noexcept override { return "invalidSecret"; }
    bool operator==(const TOTPError&) const = default;

   private:
    explicit TOTPError(Case errorCase) noexcept : case_(errorCase) {}
    Case case_;
  };

  // The code of `secret` (Base32, decoded leniently: any letter case, spaces and "=" ignored) at
  // `date`, as exactly `digits` decimal characters with leading zeros. Throws
  // TOTPError::invalidSecret when the secret does not decode, and nothing else.
  // Hostile parameters never fail: the counter is date/period saturated to 0 for a NaN or negative
  // quotient and to 2^64-1 for one at or above 2^64 (an infinite or tiny period); a digit count is
  // clamped to 1...10.
  [[nodiscard]] static std::string code(std::string_view secret, Date date, double period,
                                        std::int64_t digits, Algorithm algorithm);

  // The code of a stored field value at `date`: parameters() then the code above. Throws
  // OTPAuthURI::ParseError (only for a value beginning "otpauth://" in any letter case), then
  // TOTPError::invalidSecret.
  [[nodiscard]] static std::string code(std::string_view fieldValue, Date date);

  // Whole seconds left in the period current at `date`: period - fmod(seconds, period), truncated
  // toward zero and saturated to the signed 64-bit range (0 for a NaN). A field value that does
  // not parse counts with 30 seconds; the secret is not decoded. Never throws.
  [[nodiscard]] static std::int64_t remaining(std::string_view fieldValue, Date date) noexcept;

  // The field value trimmed of white space and line breaks: parsed as an otpauth URI when it
  // begins "otpauth://" in any letter case (OTPAuthURI::ParseError passes through), otherwise a
  // bare secret with sha1, 6 digits and 30 seconds, not validated here.
  [[nodiscard]] static OTPAuthURI parameters(std::string_view fieldValue);
};

}  // namespace varn::crypto

// OTPAuthURI holds a TOTP::Algorithm and TOTP::parameters returns one: the two come together.
#include "crypto/otp/OTPAuthURI.hpp"
