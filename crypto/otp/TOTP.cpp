#include "crypto/otp/TOTP.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "crypto/otp/UnicodeText.hpp"
#include "support/Ascii.hpp"
#include "support/Utf8.hpp"

namespace varn::crypto {
namespace {

constexpr double kDefaultPeriod = 30;
constexpr std::string_view kOTPAuthPrefix = "otpauth://";

// Key bytes decoded from a secret; wiped when they go.
struct KeyBytes {
  std::vector<std::uint8_t> bytes;
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

// A text copy of secret material; wiped when it goes.
struct SecretText {
  std::string text;
  SecretText() = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  }
};

// The 5-bit value of a Base32 character, or -1.
int base32Value(char32_t c) noexcept {
  if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
  if (c >= '2' && c <= '7') return static_cast<int>(c - '2') + 26;
  return -1;
}

// Lenient Base32: upper-cased with full Unicode case mapping (and composed, so that characters
// canonically equal to a letter count as that letter), every space and "=" removed, then each
// character must be in the alphabet. Trailing bits short of a byte are dropped. False when the
// text is empty after removal or holds any other character.
bool decodeBase32(std::string_view text, KeyBytes& out) {
  SecretText normalised;
  if (isAscii(text)) {
    // ASCII maps to ASCII and is already composed: the Unicode steps would change nothing else.
    normalised.text.assign(text);
    for (char& c : normalised.text) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
  } else {
    if (!support::isValidUtf8(text)) return false;
    SecretText upper;
    upper.text = uppercased(text);
    normalised.text = composedNFC(upper.text);
  }
  const std::string_view cleaned = normalised.text;
  std::uint32_t accumulator = 0;
  int pending = 0;
  bool any = false;
  std::size_t pos = 0;
  out.bytes.reserve(cleaned.size() * 5 / 8);
  while (pos < cleaned.size()) {
    const char32_t c = support::nextCodePoint(cleaned, pos);
    if (c == U' ' || c == U'=') continue;
    const int value = base32Value(c);
    if (value < 0) return false;
    any = true;
    accumulator = (accumulator << 5) | static_cast<std::uint32_t>(value);
    pending += 5;
    if (pending >= 8) {
      pending -= 8;
      out.bytes.push_back(static_cast<std::uint8_t>(accumulator >> pending));
    }
  }
  return any;
}

// The HOTP counter of `seconds` / `period`, saturated: NaN or negative gives 0, 2^64 or more gives
// 2^64-1.
std::uint64_t counterOf(double seconds, double period) noexcept {
  const double quotient = seconds / period;
  if (std::isnan(quotient) || quotient <= 0) return 0;
  // 2^64 is exactly representable; every double below it converts without overflow.
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (quotient >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(quotient);
}

const EVP_MD* digestOf(TOTP::Algorithm algorithm) noexcept {
  switch (algorithm) {
    case TOTP::Algorithm::sha1:
      return EVP_sha1();
    case TOTP::Algorithm::sha256:
      return EVP_sha256();
    case TOTP::Algorithm::sha512:
      return EVP_sha512();
  }
  return EVP_sha1();
}

double secondsOf(TOTP::Date date) noexcept {
  return date.time_since_epoch().count();
}

}  // namespace

std::string_view TOTP::toString(Algorithm algorithm) noexcept {
  switch (algorithm) {
    case Algorithm::sha1:
      return "sha1";
    case Algorithm::sha256:
      return "sha256";
    case Algorithm::sha512:
      return "sha512";
  }
  return "sha1";
}

std::optional<TOTP::Algorithm> TOTP::algorithmFromString(std::string_view text) noexcept {
  for (Algorithm algorithm : {Algorithm::sha1, Algorithm::sha256, Algorithm::sha512}) {
    if (text == toString(algorithm)) return algorithm;
  }
  return std::nullopt;
}

std::string TOTP::code(std::string_view secret, Date date, double period, std::int64_t digits,
                       Algorithm algorithm) {
  KeyBytes key;
  if (!decodeBase32(secret, key)) throw TOTPError::invalidSecret();

  const std::uint64_t counter = counterOf(secondsOf(date), period);
  std::array<unsigned char, 8> message{};
  for (int i = 7, shift = 0; i >= 0; --i, shift += 8) {
    message[static_cast<std::size_t>(i)] = static_cast<unsigned char>(counter >> shift);
  }

  // An empty key is a valid HMAC key; OpenSSL wants a pointer all the same.
  static const unsigned char kNoKey = 0;
  std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
  unsigned int macLength = 0;
  if (HMAC(digestOf(algorithm), key.bytes.empty() ? &kNoKey : key.bytes.data(),
           static_cast<int>(key.bytes.size()), message.data(), message.size(), mac.data(),
           &macLength) == nullptr ||
      macLength < 20) {
    OPENSSL_cleanse(mac.data(), mac.size());
    throw std::runtime_error("HMAC computation failed");
  }

  const std::size_t offset = mac[macLength - 1] & 0x0f;
  const std::uint32_t value = (static_cast<std::uint32_t>(mac[offset] & 0x7f) << 24) |
                              (static_cast<std::uint32_t>(mac[offset + 1]) << 16) |
                              (static_cast<std::uint32_t>(mac[offset + 2]) << 8) |
                              static_cast<std::uint32_t>(mac[offset + 3]);
  OPENSSL_cleanse(mac.data(), mac.size());

  const int width = static_cast<int>(digits < 1 ? 1 : digits > 10 ? 10 : digits);
  std::uint64_t modulus = 1;
  for (int i = 0; i < width; ++i) modulus *= 10;
  std::uint64_t rest = value % modulus;
  std::string text(static_cast<std::size_t>(width), '0');
  for (int i = width - 1; i >= 0 && rest > 0; --i, rest /= 10) {
    text[static_cast<std::size_t>(i)] = static_cast<char>('0' + rest % 10);
  }
  return text;
}

std::string TOTP::code(std::string_view fieldValue, Date date) {
  const OTPAuthURI parsed = parameters(fieldValue);
  return code(parsed.secret, date, parsed.period, parsed.digits, parsed.algorithm);
}

std::int64_t TOTP::remaining(std::string_view fieldValue, Date date) noexcept {
  double period = kDefaultPeriod;
  try {
    period = parameters(fieldValue).period;
  } catch (...) {
    // An unusable value counts with the default period: remaining never fails.
  }
  const double left = period - std::fmod(secondsOf(date), period);
  if (std::isnan(left)) return 0;
  // 2^63 is exactly representable; every double in (-2^63, 2^63) truncates into range.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (left >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (left <= -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(left);
}

OTPAuthURI TOTP::parameters(std::string_view fieldValue) {
  // Text that is not UTF-8 is no URI and no Base32: it stays untrimmed and fails where it is used.
  const std::string trimmed = support::isValidUtf8(fieldValue)
                                  ? support::trimWhitespaceAndNewlines(fieldValue)
                                  : std::string(fieldValue);
  const bool uri = support::equalsIgnoringAsciiCase(
      std::string_view(trimmed).substr(0, kOTPAuthPrefix.size()), kOTPAuthPrefix);
  if (uri) return OTPAuthURI::parse(trimmed);
  return OTPAuthURI(trimmed, std::nullopt, std::nullopt, Algorithm::sha1, 6, kDefaultPeriod);
}

}  // namespace varn::crypto
