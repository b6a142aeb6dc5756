#pragma once

// The parsed form of an otpauth URI ("otpauth://totp/Issuer:account?secret=...&issuer=..."), the
// text a one-time-code field stores, and its printing back as URI text.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/otp/TOTP.hpp"

namespace varn::crypto {

// A plain value: copies are independent; fields may be read and written freely.
struct OTPAuthURI {
  // Why a text is no usable otpauth URI. what() is the case name, followed for a payload by the
  // payload in double quotes (\ " ' escaped, line breaks, tabs and NUL as \n \r \t \0) in
  // parentheses: unsupportedType("hotp"), invalidParameter("digits"), notOTPAuth, missingSecret.
  class ParseError : public std::exception {
   public:
    enum class Case { unsupportedType, invalidParameter, notOTPAuth, missingSecret };

    // The URI's type (its host, lower-cased; empty when it has none) is not "totp".
    static ParseError unsupportedType(std::string type);
    // The parameter "algorithm", "digits" or "period" has an unusable value.
    static ParseError invalidParameter(std::string name);
    // The text is no URI, or its scheme is not "otpauth".
    static ParseError notOTPAuth();
    // There is no non-empty "secret" parameter.
    static ParseError missingSecret();

    Case errorCase() const noexcept { return case_; }
    // The type of unsupportedType, the name of invalidParameter; empty otherwise.
    const std::string& payload() const noexcept { return payload_; }
    const char* what() const noexcept override { return printed_.c_str(); }
    bool operator==(const ParseError& other) const noexcept {
      return case_ == other.case_ && payload_ == other.payload_;
    }

   private:
    ParseError(Case errorCase, std::string payload);

    Case case_;
    std::string payload_;
    std::string printed_;
  };

  // Stores the six values unchanged, without any check.
  OTPAuthURI(std::string secret, std::optional<std::string> issuer,
             std::optional<std::string> account, TOTP::Algorithm algorithm, std::int64_t digits,
             double period);

  // Parses an otpauth URI of type "totp" with the strict URI parser, checking in this order:
  // notOTPAuth, unsupportedType, missingSecret, then the parameters algorithm, digits (6...10)
  // and period (a C-locale strtod number > 0; an infinity passes). Absent parameters default to
  // sha1, 6 digits and 30 seconds; the last occurrence of a parameter wins and one without "="
  // deletes it. The secret is kept verbatim, not validated. Throws ParseError.
  [[nodiscard]] static OTPAuthURI parse(std::string_view string);

  // The URI printed from the fields: label issuer ":" account (or whichever is present, or
  // "varn"), then secret, issuer, and algorithm, digits and period where not the defaults. The
  // period prints as its whole part, saturated to the signed 64-bit range (a NaN prints as 0).
  // parse(uriString()) gives the printed fields back.
  [[nodiscard]] std::string uriString() const;

  bool operator==(const OTPAuthURI&) const = default;

  std::string secret;  // Base32, verbatim
  std::optional<std::string> issuer;
  std::optional<std::string> account;
  TOTP::Algorithm algorithm;
  std::int64_t digits;
  double period;  // seconds
};

}  // namespace varn::crypto
