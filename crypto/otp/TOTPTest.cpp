#include "crypto/otp/TOTP.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace varn::crypto {
namespace {

using Algorithm = TOTP::Algorithm;

// The seeds of RFC 6238 Appendix B as Base32: "12345678901234567890" repeated to 20, 32 and 64
// bytes.
constexpr const char* kSeed20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
constexpr const char* kSeed32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA";
constexpr const char* kSeed64 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBV"
    "GY3TQOJQGEZDGNA";

TOTP::Date at(double seconds) {
  return TOTP::Date(std::chrono::duration<double>(seconds));
}

TOTP::TOTPError::Case invalidSecretCaseOf(std::string_view secret) {
  try {
    (void)TOTP::code(secret, at(59), 30, 6, Algorithm::sha1);
  } catch (const TOTP::TOTPError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "no TOTPError";
  return TOTP::TOTPError::Case::invalidSecret;
}

TEST(TOTPTest, Rfc6238AppendixB) {
  struct Case {
    Algorithm algorithm;
    const char* seed;
    const char* codes[6];
  };
  const double times[6] = {59, 1111111109, 1111111111, 1234567890, 2000000000, 20000000000};
  const Case cases[] = {
      {Algorithm::sha1,
       kSeed20,
       {"94287082", "07081804", "14050471", "89005924", "69279037", "65353130"}},
      {Algorithm::sha256,
       kSeed32,
       {"46119246", "68084774", "67062674", "91819424", "90698825", "77737706"}},
      {Algorithm::sha512,
       kSeed64,
       {"90693936", "25091201", "99943326", "93441116", "38618901", "47863826"}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(TOTP::code(c.seed, at(times[i]), 30, 8, c.algorithm), c.codes[i])
          << TOTP::toString(c.algorithm) << " at " << times[i];
    }
  }
}

TEST(TOTPTest, Rfc4226AppendixDThroughTimeCounter) {
  const char* hotp[10] = {"755224", "287082", "359152", "969429", "338314",
                          "254676", "287922", "162583", "399871", "520489"};
  for (int counter = 0; counter < 10; ++counter) {
    EXPECT_EQ(TOTP::code(kSeed20, at(30.0 * counter), 30, 6, Algorithm::sha1), hotp[counter])
        << "counter " << counter;
  }
}

TEST(TOTPTest, LenientSecretsGiveThePlainSecretsCode) {
  struct Case {
    const char* label;
    const char* lenient;
    const char* plain;
  };
  const Case cases[] = {
      {"lower case", "gezdgnbvgy3tqojqgezdgnbvgy3tqojq", kSeed20},
      {"groups of four", "GEZD GNBV GY3T QOJQ GEZD GNBV GY3T QOJQ", kSeed20},
      {"padding at the end", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ====", kSeed20},
      {"padding inside", "GEZD=GNBV==GY3TQOJQGEZDGNBVGY3TQOJQ", kSeed20},
      {"sharp s upper-cases to SS",
       "\xc3\x9f"
       "AAAAAA",
       "SSAAAAAA"},
      {"ff ligature upper-cases to FF",
       "\xef\xac\x80"
       "AAAAAA",
       "FFAAAAAA"},
      {"dotless i upper-cases to I", "MZXW6YTBO\xc4\xb1", "MZXW6YTBOI"},
      {"long s upper-cases to S",
       "\xc5\xbf"
       "SAAAAAA",
       "SSAAAAAA"},
      {"Kelvin sign composes to K", "\xe2\x84\xaaRSXG5A", "KRSXG5A"},
      {"trailing bits are dropped (B)", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQB", kSeed20},
      {"trailing bits are dropped (7)", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ7", kSeed20},
      {"trailing bits are dropped (L)", "MZXW6YTBOL", "MZXW6YTBOI"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TOTP::code(c.lenient, at(1111111109), 30, 6, Algorithm::sha1),
              TOTP::code(c.plain, at(1111111109), 30, 6, Algorithm::sha1))
        << c.label;
  }
}

TEST(TOTPTest, UnusableSecretsAreInvalid) {
  const std::pair<const char*, std::string> cases[] = {
      {"hyphen", "GEZD-GNBV"},
      {"tab", "GEZD\tGNBV"},
      {"line feed", "GEZDGNBV\n"},
      {"carriage return", "GEZDGNBV\r"},
      {"digit 0", "GEZDGNB0"},
      {"digit 1", "GEZDGNB1"},
      {"digit 8", "GEZDGNB8"},
      {"digit 9", "GEZDGNB9"},
      {"empty", ""},
      {"spaces and = only", "  = ==  "},
      {"letter with a combining mark", "GEZDGNBVA\xcc\x81"},
      {"no-break space", "GEZD\xc2\xa0GNBV"},
      {"not UTF-8", "GEZD\xff"},
      {"NUL", std::string("GEZD\0GNBV", 9)},
  };
  for (const auto& [label, secret] : cases) {
    EXPECT_EQ(invalidSecretCaseOf(secret), TOTP::TOTPError::Case::invalidSecret) << label;
  }
  EXPECT_STREQ(TOTP::TOTPError::invalidSecret().what(), "invalidSecret");
}

TEST(TOTPTest, OneCharacterIsAnEmptyKey) {
  // HMAC-SHA1 with an empty key over counter 1, truncated.
  EXPECT_EQ(TOTP::code("A", at(59), 30, 6, Algorithm::sha1), "812658");
  EXPECT_EQ(TOTP::code("a=", at(59), 30, 6, Algorithm::sha1), "812658");
}

TEST(TOTPTest, DigitCountsKeepLeadingZeros) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {6, "081804"},
      {7, "7081804"},
      {8, "07081804"},
      {10, "0907081804"},
      {1, "4"},
      // Outside 1...10 the count is clamped.
      {0, "4"},
      {-5, "4"},
      {11, "0907081804"},
      {INT64_MAX, "0907081804"},
  };
  for (const auto& [digits, expected] : cases) {
    EXPECT_EQ(TOTP::code(kSeed20, at(1111111109), 30, digits, Algorithm::sha1), expected)
        << digits << " digits";
  }
  EXPECT_EQ(TOTP::code(kSeed20, at(59), 30, 10, Algorithm::sha1), "1094287082");
}

TEST(TOTPTest, HostilePeriodsAndTimesSaturate) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Counter 0 gives "755224", counter 2^64-1 gives "094451".
  struct Case {
    const char* label;
    double seconds;
    double period;
    const char* expected;
  };
  const Case cases[] = {
      {"infinite period", 1111111109, inf, "755224"},
      {"NaN period", 1111111109, nan, "755224"},
      {"negative period", 1111111109, -30, "755224"},
      {"zero period", 1111111109, 0, "094451"},
      {"zero over zero", 0, 0, "755224"},
      {"tiny period overflows the counter", 1111111109, 1e-300, "094451"},
      {"time before 1970", -59, 30, "755224"},
      {"infinite time", inf, 30, "094451"},
      {"NaN time", nan, 30, "755224"},
      {"largest quotient below 2^64", 18446744073709549568.0, 1, "397366"},
      {"quotient of 2^64", 18446744073709551616.0, 1, "094451"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TOTP::code(kSeed20, at(c.seconds), c.period, 6, Algorithm::sha1), c.expected)
        << c.label;
  }
}

TEST(TOTPTest, SameCodeThroughoutAMinuteOfSixtySeconds) {
  const std::string first = TOTP::code(kSeed20, at(1700000040), 60, 6, Algorithm::sha1);
  EXPECT_EQ(first, "125373");
  for (double t : {1700000040.0, 1700000040.5, 1700000070.0, 1700000099.0, 1700000099.999}) {
    EXPECT_EQ(TOTP::code(kSeed20, at(t), 60, 6, Algorithm::sha1), first) << t;
  }
  EXPECT_NE(TOTP::code(kSeed20, at(1700000100), 60, 6, Algorithm::sha1), first);
}

TEST(TOTPTest, FieldValues) {
  const std::string plain = TOTP::code(kSeed20, at(1111111109), 30, 6, Algorithm::sha1);
  const char* sameAsPlain[] = {
      kSeed20,
      "  GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ \n",
      "\r\n\tGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ\xe2\x80\xa8",
      "otpauth://totp/Example:alice?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
      "OTPAUTH://TOTP/Example:alice?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
      "\n OtpAuth://totp?SECRET=gezdgnbvgy3tqojqgezdgnbvgy3tqojq \n",
  };
  for (const char* value : sameAsPlain) {
    EXPECT_EQ(TOTP::code(value, at(1111111109)), plain) << ::testing::PrintToString(value);
  }
  EXPECT_EQ(TOTP::code("otpauth://totp/x?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
                       "GEZA&algorithm=SHA256&digits=8",
                       at(1111111109)),
            "68084774");
}

TEST(TOTPTest, FieldValueErrors) {
  try {
    (void)TOTP::code("otpauth://hotp/x?secret=GEZDGNBV&counter=1", at(59));
    ADD_FAILURE() << "no error";
  } catch (const OTPAuthURI::ParseError& error) {
    EXPECT_EQ(error, OTPAuthURI::ParseError::unsupportedType("hotp"));
  }
  EXPECT_THROW((void)TOTP::code("otpauth://totp/x?secret=not-base32", at(59)), TOTP::TOTPError);
  EXPECT_THROW((void)TOTP::code("not a seed!", at(59)), TOTP::TOTPError);
  // An "otpauth:" without "//" is no URI prefix: a bare secret, and not Base32.
  EXPECT_THROW((void)TOTP::code("otpauth:totp?secret=GEZDGNBV", at(59)), TOTP::TOTPError);
}

TEST(TOTPTest, Parameters) {
  EXPECT_EQ(TOTP::parameters(" abc \n"),
            OTPAuthURI("abc", std::nullopt, std::nullopt, Algorithm::sha1, 6, 30));
  EXPECT_EQ(TOTP::parameters("otpauth://totp/I:a?secret=S&period=60&digits=8&algorithm=sha512"),
            OTPAuthURI("S", "I", "a", Algorithm::sha512, 8, 60));
}

TEST(TOTPTest, Remaining) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* label;
    std::string value;
    double seconds;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"exactly at a boundary", kSeed20, 1111111110, 30},
      {"one second in", kSeed20, 1111111111, 29},
      {"less than a second left", kSeed20, 1111111139.5, 0},
      {"fraction truncated", kSeed20, 1111111120.25, 19},
      {"period of 60", "otpauth://totp/x?secret=A&period=60", 1700000000, 40},
      {"fractional period", "otpauth://totp/x?secret=A&period=45.5", 91, 45},
      {"unsupported type counts with 30", "otpauth://hotp/x?secret=A&period=60", 1700000000, 10},
      {"unparsable value counts with 30", "otpauth://", 1700000000, 10},
      {"invalid secret is not decoded", "not base32!", 1700000000, 10},
      {"time before 1970", kSeed20, -10, 40},
      {"infinite period saturates", "otpauth://totp/x?secret=A&period=inf", 1700000010,
       std::numeric_limits<std::int64_t>::max()},
      {"enormous period saturates", "otpauth://totp/x?secret=A&period=1e300", 1700000010,
       std::numeric_limits<std::int64_t>::max()},
      {"tiny period", "otpauth://totp/x?secret=A&period=1e-300", 1700000010, 0},
      {"infinite time", kSeed20, inf, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TOTP::remaining(c.value, at(c.seconds)), c.expected) << c.label;
  }
}

TEST(TOTPTest, TakesSystemClockTimePoints) {
  const std::chrono::system_clock::time_point t{std::chrono::seconds(1111111109)};
  EXPECT_EQ(TOTP::code(kSeed20, t, 30, 8, Algorithm::sha1), "07081804");
  EXPECT_EQ(TOTP::remaining(kSeed20, t), 1);
}

TEST(TOTPTest, AlgorithmTexts) {
  for (Algorithm algorithm : {Algorithm::sha1, Algorithm::sha256, Algorithm::sha512}) {
    EXPECT_EQ(TOTP::algorithmFromString(TOTP::toString(algorithm)), algorithm);
  }
  for (const char* text : {"SHA1", "sha-1", "md5", "", "sha1 "}) {
    EXPECT_EQ(TOTP::algorithmFromString(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace varn::crypto
