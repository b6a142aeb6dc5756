#include "crypto/otp/OTPAuthURI.hpp"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

#include "crypto/otp/UnicodeText.hpp"
#include "support/Ascii.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::crypto {
namespace {

constexpr double kDefaultPeriod = 30;
constexpr std::int64_t kDefaultDigits = 6;

std::string quoted(std::string_view text) {
  return support::quotedPayload(text);
}

// Percent-decoded text, or nullopt when an escape is malformed or the bytes are not UTF-8 (a
// component that is not text makes the whole URI unusable).
std::optional<std::string> decodedText(std::string_view raw) {
  std::optional<std::string> decoded = support::percentDecode(raw);
  if (!decoded || !support::isValidUtf8(*decoded)) return std::nullopt;
  return decoded;
}

// A floating-point number as strtod reads it in the C locale (decimal or hexadecimal, optional
// sign and exponent, infinity and NaN words), with no leading white space and nothing after it.
std::optional<double> parseCDouble(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;
    default:
      break;
  }
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (cLocale == static_cast<locale_t>(0)) return std::nullopt;
  char* end = nullptr;
  const double value = strtod_l(text.c_str(), &end, cLocale);
  // A NUL inside the text ends strtod early, and so fails this test.
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// The whole part of a period for printing, saturated to the signed 64-bit range; a NaN gives 0.
std::int64_t wholeSeconds(double period) noexcept {
  if (std::isnan(period)) return 0;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (period >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (period <= -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(period);
}

// What a path may hold unencoded besides the unreserved characters: the sub-delimiters, ":", "@"
// and "/" (so the label's ":" stays literal).
constexpr std::string_view kPathAllowed = "!$&'()*+,;=:@/";
// What a query name may hold unencoded: no "&", "=", "+" or "#", so that every name reads back
// as written and a "+" is never taken for a space.
constexpr std::string_view kQueryNameAllowed = "!$'()*,;:@/?";
// A value is split from its name at the first "=", so a value may hold more "=".
constexpr std::string_view kQueryValueAllowed = "!$'()*,;:@/?=";

}  // namespace

OTPAuthURI::ParseError::ParseError(Case errorCase, std::string payload)
    : case_(errorCase), payload_(std::move(payload)) {
  switch (case_) {
    case Case::unsupportedType:
      printed_ = "unsupportedType(" + quoted(payload_) + ")";
      break;
    case Case::invalidParameter:
      printed_ = "invalidParameter(" + quoted(payload_) + ")";
      break;
    case Case::notOTPAuth:
      printed_ = "notOTPAuth";
      break;
    case Case::missingSecret:
      printed_ = "missingSecret";
      break;
  }
}

OTPAuthURI::ParseError OTPAuthURI::ParseError::unsupportedType(std::string type) {
  return ParseError(Case::unsupportedType, std::move(type));
}
OTPAuthURI::ParseError OTPAuthURI::ParseError::invalidParameter(std::string name) {
  return ParseError(Case::invalidParameter, std::move(name));
}
OTPAuthURI::ParseError OTPAuthURI::ParseError::notOTPAuth() {
  return ParseError(Case::notOTPAuth, std::string());
}
OTPAuthURI::ParseError OTPAuthURI::ParseError::missingSecret() {
  return ParseError(Case::missingSecret, std::string());
}

OTPAuthURI::OTPAuthURI(std::string secretText, std::optional<std::string> issuerText,
                       std::optional<std::string> accountText, TOTP::Algorithm algorithmValue,
                       std::int64_t digitCount, double periodSeconds)
    : secret(std::move(secretText)),
      issuer(std::move(issuerText)),
      account(std::move(accountText)),
      algorithm(algorithmValue),
      digits(digitCount),
      period(periodSeconds) {}

OTPAuthURI OTPAuthURI::parse(std::string_view string) {
  if (!support::isValidUtf8(string)) throw ParseError::notOTPAuth();
  const std::string trimmed = support::trimWhitespaceAndNewlines(string);

  const std::optional<support::UriComponents> uri = support::parseUriReference(trimmed);
  if (!uri) throw ParseError::notOTPAuth();
  std::optional<std::string> host;
  if (uri->host) {
    host = decodedText(*uri->host);
    if (!host) throw ParseError::notOTPAuth();
  }
  const std::optional<std::string> path = decodedText(uri->path);
  if (!path) throw ParseError::notOTPAuth();
  std::vector<support::QueryItem> items;
  if (uri->query) {
    items = support::queryItems(*uri->query);
    for (const support::QueryItem& item : items) {
      if (!support::isValidUtf8(item.name) || (item.value && !support::isValidUtf8(*item.value))) {
        throw ParseError::notOTPAuth();
      }
    }
  }

  if (!uri->scheme || support::asciiLower(*uri->scheme) != "otpauth")
    throw ParseError::notOTPAuth();

  const std::string type = host ? lowercased(*host) : std::string();
  if (type != "totp") throw ParseError::unsupportedType(type);

  // Parameter names compare in lower case: no non-ASCII character lower-cases into one of them.
  std::map<std::string, std::string> parameters;
  for (support::QueryItem& item : items) {
    std::string name = support::asciiLower(item.name);
    if (name != "secret" && name != "issuer" && name != "algorithm" && name != "digits" &&
        name != "period") {
      continue;
    }
    if (item.value) {
      parameters.insert_or_assign(std::move(name), std::move(*item.value));
    } else {
      parameters.erase(name);
    }
  }

  const auto secretEntry = parameters.find("secret");
  if (secretEntry == parameters.end() || secretEntry->second.empty()) {
    throw ParseError::missingSecret();
  }

  std::optional<std::string> issuer;
  std::optional<std::string> account;
  const std::vector<std::size_t> bounds = characterBoundaries(*path);
  const std::string_view label =
      bounds.size() > 1 ? std::string_view(*path).substr(bounds[1]) : std::string_view();
  if (const std::size_t colon = findCharacter(label, ':'); colon != std::string_view::npos) {
    issuer = support::trimWhitespace(label.substr(0, colon));
    account = support::trimWhitespace(label.substr(colon + 1));
  } else if (!label.empty()) {
    account = std::string(label);
  }
  if (const auto entry = parameters.find("issuer"); entry != parameters.end()) {
    issuer = entry->second;
  }

  TOTP::Algorithm algorithm = TOTP::Algorithm::sha1;
  if (const auto entry = parameters.find("algorithm"); entry != parameters.end()) {
    const std::optional<TOTP::Algorithm> named =
        TOTP::algorithmFromString(support::asciiLower(entry->second));
    if (!named) throw ParseError::invalidParameter("algorithm");
    algorithm = *named;
  }

  std::int64_t digits = kDefaultDigits;
  if (const auto entry = parameters.find("digits"); entry != parameters.end()) {
    const std::optional<std::int64_t> count = support::parseDecimalInt64(entry->second);
    if (!count || *count < 6 || *count > 10) throw ParseError::invalidParameter("digits");
    digits = *count;
  }

  double period = kDefaultPeriod;
  if (const auto entry = parameters.find("period"); entry != parameters.end()) {
    const std::optional<double> seconds = parseCDouble(entry->second);
    // A NaN fails "> 0"; an infinity passes.
    if (!seconds || !(*seconds > 0)) throw ParseError::invalidParameter("period");
    period = *seconds;
  }

  return OTPAuthURI(std::move(secretEntry->second), std::move(issuer), std::move(account),
                    algorithm, digits, period);
}

std::string OTPAuthURI::uriString() const {
  std::string label;
  if (issuer && account) {
    label = *issuer + ":" + *account;
  } else if (account) {
    label = *account;
  } else if (issuer) {
    label = *issuer;
  } else {
    label = "varn";
  }

  std::string out = "otpauth://totp/" + support::percentEncode(label, kPathAllowed);
  const auto item = [&out](std::string_view name, std::string_view value, bool first) {
    out += first ? "?" : "&";
    out += support::percentEncode(name, kQueryNameAllowed);
    out += "=";
    out += support::percentEncode(value, kQueryValueAllowed);
  };
  item("secret", secret, true);
  if (issuer) item("issuer", *issuer, false);
  if (algorithm != TOTP::Algorithm::sha1) {
    item("algorithm", algorithm == TOTP::Algorithm::sha256 ? "SHA256" : "SHA512", false);
  }
  if (digits != kDefaultDigits) item("digits", std::to_string(digits), false);
  if (period != kDefaultPeriod) item("period", std::to_string(wholeSeconds(period)), false);
  return out;
}

}  // namespace varn::crypto
