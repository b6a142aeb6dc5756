#include "crypto/otp/OTPAuthURI.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

namespace varn::crypto {
namespace {

using Algorithm = TOTP::Algorithm;
using ParseError = OTPAuthURI::ParseError;

// The outcome of parsing: the value or the error.
std::variant<OTPAuthURI, ParseError> parsed(std::string_view text) {
  try {
    return OTPAuthURI::parse(text);
  } catch (const ParseError& error) {
    return error;
  }
}

OTPAuthURI value(std::optional<std::string> issuer, std::optional<std::string> account,
                 std::string secret = "JBSWY3DPEHPK3PXP", Algorithm algorithm = Algorithm::sha1,
                 std::int64_t digits = 6, double period = 30) {
  return OTPAuthURI(std::move(secret), std::move(issuer), std::move(account), algorithm, digits,
                    period);
}

TEST(OTPAuthURITest, Parses) {
  struct Case {
    const char* text;
    OTPAuthURI expected;
  };
  const Case cases[] = {
      {"otpauth://totp/ACME:alice@example.com?secret=JBSWY3DPEHPK3PXP&issuer=ACME",
       value("ACME", "alice@example.com")},
      {"OTPAUTH://TOTP/ACME:alice?secret=JBSWY3DPEHPK3PXP", value("ACME", "alice")},
      {"  otpauth://totp/ACME:alice?secret=JBSWY3DPEHPK3PXP\n", value("ACME", "alice")},
      // The label: a percent-encoded ":" splits too; spaces and tabs around it are trimmed; further
      // ":" stay in the account; empty sides are present and empty.
      {"otpauth://totp/ACME%3Aalice?secret=JBSWY3DPEHPK3PXP", value("ACME", "alice")},
      {"otpauth://totp/%20ACME%20%09:%20%20alice%09?secret=JBSWY3DPEHPK3PXP",
       value("ACME", "alice")},
      {"otpauth://totp/a:b:c?secret=JBSWY3DPEHPK3PXP", value("a", "b:c")},
      {"otpauth://totp/:?secret=JBSWY3DPEHPK3PXP", value("", "")},
      {"otpauth://totp/%20alice%20?secret=JBSWY3DPEHPK3PXP", value(std::nullopt, " alice ")},
      {"otpauth://totp/?secret=JBSWY3DPEHPK3PXP", value(std::nullopt, std::nullopt)},
      {"otpauth://totp?secret=JBSWY3DPEHPK3PXP", value(std::nullopt, std::nullopt)},
      // The "issuer" parameter replaces the label's; an empty one gives an empty issuer.
      {"otpauth://totp/Old:alice?issuer=New&secret=JBSWY3DPEHPK3PXP", value("New", "alice")},
      {"otpauth://totp/alice?secret=JBSWY3DPEHPK3PXP&issuer=", value("", "alice")},
      {"otpauth://totp/alice?secret=JBSWY3DPEHPK3PXP&issuer=A%26B%2BC", value("A&B+C", "alice")},
      // The last occurrence wins; names are caseless; other names are ignored; the secret is
      // kept verbatim, "+" included.
      {"otpauth://totp/a?secret=FIRST&SECRET=SECOND", value(std::nullopt, "a", "SECOND")},
      {"otpauth://totp/a?Secret=ab+cd%3D&image=x&counter", value(std::nullopt, "a", "ab+cd=")},
      {"otpauth://totp/a?secret=S&algorithm=SHA256",
       value(std::nullopt, "a", "S", Algorithm::sha256)},
      {"otpauth://totp/a?secret=S&ALGORITHM=sha512",
       value(std::nullopt, "a", "S", Algorithm::sha512)},
      {"otpauth://totp/a?secret=S&algorithm=Sha1", value(std::nullopt, "a", "S")},
      {"otpauth://totp/a?secret=S&digits=6", value(std::nullopt, "a", "S")},
      {"otpauth://totp/a?secret=S&digits=10", value(std::nullopt, "a", "S", Algorithm::sha1, 10)},
      {"otpauth://totp/a?secret=S&digits=%2B8", value(std::nullopt, "a", "S", Algorithm::sha1, 8)},
      {"otpauth://totp/a?secret=S&digits=+7", value(std::nullopt, "a", "S", Algorithm::sha1, 7)},
      {"otpauth://totp/a?secret=S&digits=0009", value(std::nullopt, "a", "S", Algorithm::sha1, 9)},
      {"otpauth://totp/a?secret=S&period=60",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, 60)},
      {"otpauth://totp/a?secret=S&period=1e1",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, 10)},
      {"otpauth://totp/a?secret=S&period=45.5",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, 45.5)},
      {"otpauth://totp/a?secret=S&period=0x1p4",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, 16)},
      {"otpauth://totp/a?secret=S&period=+inf",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, std::numeric_limits<double>::infinity())},
      {"otpauth://totp/a?secret=S&period=1e-300",
       value(std::nullopt, "a", "S", Algorithm::sha1, 6, 1e-300)},
      // A value that is not Base32 parses; only computing a code fails.
      {"otpauth://totp/a?secret=not-base32!", value(std::nullopt, "a", "not-base32!")},
  };
  for (const Case& c : cases) {
    const auto outcome = parsed(c.text);
    ASSERT_TRUE(std::holds_alternative<OTPAuthURI>(outcome))
        << c.text << ": " << std::get<ParseError>(outcome).what();
    EXPECT_EQ(std::get<OTPAuthURI>(outcome), c.expected) << c.text;
  }
}

TEST(OTPAuthURITest, Rejects) {
  struct Case {
    const char* text;
    ParseError expected;
  };
  const Case cases[] = {
      {"", ParseError::notOTPAuth()},
      {"not a url", ParseError::notOTPAuth()},
      {"https://totp/a?secret=S", ParseError::notOTPAuth()},
      {"totp/a?secret=S", ParseError::notOTPAuth()},
      {"otpauth://totp/a b?secret=S", ParseError::notOTPAuth()},
      {"otpauth://totp/a?secret=S%", ParseError::notOTPAuth()},
      {"otpauth://totp/%FF?secret=S", ParseError::notOTPAuth()},
      {"otpauth://hotp/a?secret=S&counter=1", ParseError::unsupportedType("hotp")},
      {"otpauth://HOTP/a?secret=S", ParseError::unsupportedType("hotp")},
      {"otpauth:totp?secret=S", ParseError::unsupportedType("")},
      {"otpauth:///a?secret=S", ParseError::unsupportedType("")},
      {"otpauth://totp/a", ParseError::missingSecret()},
      {"otpauth://totp/a?", ParseError::missingSecret()},
      {"otpauth://totp/a?secret=", ParseError::missingSecret()},
      {"otpauth://totp/a?secret=S&secret", ParseError::missingSecret()},
      {"otpauth://totp/a?issuer=x", ParseError::missingSecret()},
      // The secret is tested before the parameters.
      {"otpauth://totp/a?algorithm=md5", ParseError::missingSecret()},
      {"otpauth://totp/a?secret=S&algorithm=md5", ParseError::invalidParameter("algorithm")},
      {"otpauth://totp/a?secret=S&algorithm=", ParseError::invalidParameter("algorithm")},
      {"otpauth://totp/a?secret=S&algorithm=sha-256", ParseError::invalidParameter("algorithm")},
      {"otpauth://totp/a?secret=S&algorithm=md5&digits=1",
       ParseError::invalidParameter("algorithm")},
      {"otpauth://totp/a?secret=S&digits=5", ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=11", ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=6.0", ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=", ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=%206", ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=99999999999999999999",
       ParseError::invalidParameter("digits")},
      {"otpauth://totp/a?secret=S&digits=8&period=0", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=-30", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=%2030", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=30s", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=nan", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=-inf", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=30%00", ParseError::invalidParameter("period")},
      {"otpauth://totp/a?secret=S&period=1e-400", ParseError::invalidParameter("period")},
  };
  for (const Case& c : cases) {
    const auto outcome = parsed(c.text);
    ASSERT_TRUE(std::holds_alternative<ParseError>(outcome)) << c.text;
    EXPECT_EQ(std::get<ParseError>(outcome), c.expected) << c.text;
  }
}

TEST(OTPAuthURITest, ErrorTexts) {
  EXPECT_STREQ(ParseError::notOTPAuth().what(), "notOTPAuth");
  EXPECT_STREQ(ParseError::missingSecret().what(), "missingSecret");
  EXPECT_STREQ(ParseError::unsupportedType("hotp").what(), "unsupportedType(\"hotp\")");
  EXPECT_STREQ(ParseError::unsupportedType("").what(), "unsupportedType(\"\")");
  EXPECT_STREQ(ParseError::invalidParameter("digits").what(), "invalidParameter(\"digits\")");
  EXPECT_STREQ(ParseError::unsupportedType("a\"b'c\\d\ne").what(),
               "unsupportedType(\"a\\\"b\\'c\\\\d\\ne\")");
}

TEST(OTPAuthURITest, Prints) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    OTPAuthURI uri;
    const char* expected;
  };
  const Case cases[] = {
      {value("ACME", "alice@example.com"),
       "otpauth://totp/ACME:alice@example.com?secret=JBSWY3DPEHPK3PXP&issuer=ACME"},
      {value(std::nullopt, std::nullopt), "otpauth://totp/varn?secret=JBSWY3DPEHPK3PXP"},
      {value(std::nullopt, "alice"), "otpauth://totp/alice?secret=JBSWY3DPEHPK3PXP"},
      {value("ACME", std::nullopt), "otpauth://totp/ACME?secret=JBSWY3DPEHPK3PXP&issuer=ACME"},
      {value("", ""), "otpauth://totp/:?secret=JBSWY3DPEHPK3PXP&issuer="},
      {value("A Co", "a?b#c%d"),
       "otpauth://totp/A%20Co:a%3Fb%23c%25d?secret=JBSWY3DPEHPK3PXP&issuer=A%20Co"},
      {value("A&B+C=D", "x", "S E"), "otpauth://totp/A&B+C=D:x?secret=S%20E&issuer=A%26B%2BC=D"},
      {value(std::nullopt, "a", "S", Algorithm::sha256, 8, 60),
       "otpauth://totp/a?secret=S&algorithm=SHA256&digits=8&period=60"},
      {value(std::nullopt, "a", "S", Algorithm::sha512),
       "otpauth://totp/a?secret=S&algorithm=SHA512"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, 45.5),
       "otpauth://totp/a?secret=S&period=45"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, -45.5),
       "otpauth://totp/a?secret=S&period=-45"},
      // Periods beyond the signed 64-bit range saturate; a NaN prints as 0.
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, inf),
       "otpauth://totp/a?secret=S&period=9223372036854775807"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, -inf),
       "otpauth://totp/a?secret=S&period=-9223372036854775808"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, 1e300),
       "otpauth://totp/a?secret=S&period=9223372036854775807"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, nan),
       "otpauth://totp/a?secret=S&period=0"},
      {value(std::nullopt, "a", "S", Algorithm::sha1, 6, 1e-300),
       "otpauth://totp/a?secret=S&period=0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.uri.uriString(), c.expected);
  }
}

TEST(OTPAuthURITest, PrintedTextParsesBack) {
  const OTPAuthURI values[] = {
      value("ACME", "alice@example.com"),
      value("A Co", "a?b#c%d&e=f+g/h"),
      value("caf\xc3\xa9 \xe2\x80\x94", "\xf0\x9f\x94\x91 x"),
      value("", ""),
      value("I", "a:b"),
      value("i", "a", "JBSW Y3DP+=&x", Algorithm::sha256, 10, 60),
      value("i", "a", "S", Algorithm::sha512, 7, 86400),
      value("i", "a", "S", Algorithm::sha1, 6, 1),
  };
  for (const OTPAuthURI& uri : values) {
    const std::string text = uri.uriString();
    const auto outcome = parsed(text);
    ASSERT_TRUE(std::holds_alternative<OTPAuthURI>(outcome)) << text;
    EXPECT_EQ(std::get<OTPAuthURI>(outcome), uri) << text;
  }
}

}  // namespace
}  // namespace varn::crypto
