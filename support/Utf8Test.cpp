#include "support/Utf8.hpp"

#include <gtest/gtest.h>

namespace varn::support {
namespace {

TEST(Utf8Test, ValidatesStrictly) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain \xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x91"));
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xe2\x80", "\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << ::testing::PrintToString(std::string(bad));
  }
}

TEST(Utf8Test, RoundTripsCodePoints) {
  for (char32_t cp : {U'\u0041', U'\u00e9', U'\u2014', U'\U0001F511'}) {
    std::string text;
    appendUtf8(text, cp);
    std::size_t pos = 0;
    EXPECT_EQ(nextCodePoint(text, pos), cp);
    EXPECT_EQ(pos, text.size());
  }
}

TEST(TrimTest, WhitespaceOnlyKeepsLineBreaks) {
  EXPECT_EQ(trimWhitespace(" \t\u00a0/s.sock\u3000 "), "/s.sock");
  EXPECT_EQ(trimWhitespace("\n/s.sock\r"), "\n/s.sock\r");
  EXPECT_EQ(trimWhitespace(" \t "), "");
  EXPECT_EQ(trimWhitespace("a b"), "a b");
}

TEST(TrimTest, TextThatIsNotUtf8IsWalkedSafelyAndKept) {
  EXPECT_EQ(trimWhitespace(" \xF0\x80\x89"), "\xF0\x80\x89");
  EXPECT_EQ(trimWhitespace("\xE2\x80 "), "\xE2\x80");
  EXPECT_EQ(trimWhitespaceAndNewlines("\n\xff\n"), "\xff");
}

TEST(TrimTest, WhitespaceAndNewlines) {
  EXPECT_EQ(trimWhitespaceAndNewlines("\r\n\t x y \u2028\n"), "x y");
  EXPECT_EQ(trimWhitespaceAndNewlines("\n\n"), "");
}

TEST(ParseDecimalTest, Table) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"+60", 60},
      {"-5", -5},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"12345678901234567890", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5x", std::nullopt},
      {"0x10", std::nullopt},
      {"\xd9\xa5", std::nullopt},  // ARABIC-INDIC DIGIT FIVE is not an ASCII digit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseDecimalInt64(c.text), c.value) << c.text;
  }
}

}  // namespace
}  // namespace varn::support

namespace varn::support {
namespace {

TEST(QuotedPayloadTest, EscapesExactlyTheListedCharacters) {
  EXPECT_EQ(quotedPayload(std::string("a\\b\"c'd\ne\rf\tg\0h", 15)),
            "\"a\\\\b\\\"c\\'d\\ne\\rf\\tg\\0h\"");
  EXPECT_EQ(quotedPayload("\x1b \u2014 /"), "\"\x1b \u2014 /\"");
  EXPECT_EQ(quotedPayload(""), "\"\"");
}

}  // namespace
}  // namespace varn::support
