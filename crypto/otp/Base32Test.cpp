#include "crypto/otp/Base32.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varn::crypto {
namespace {

std::string encodeText(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  return Base32::encode(bytes);
}

TEST(Base32Test, Rfc4648VectorsWithoutPadding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "MY"},
      {"fo", "MZXQ"},
      {"foo", "MZXW6"},
      {"foob", "MZXW6YQ"},
      {"fooba", "MZXW6YTB"},
      {"foobar", "MZXW6YTBOI"},
  };
  for (const auto& [input, expected] : vectors) {
    EXPECT_EQ(encodeText(input), expected) << input;
  }
}

TEST(Base32Test, LengthIsCeilingOfEightNOverFive) {
  const std::pair<std::size_t, std::size_t> lengths[] = {{1, 2}, {2, 4},  {3, 5},   {4, 7},
                                                         {5, 8}, {6, 10}, {10, 16}, {32, 52}};
  for (const auto& [bytes, characters] : lengths) {
    const std::string text = Base32::encode(std::vector<std::uint8_t>(bytes, 0xa5));
    EXPECT_EQ(text.size(), characters) << bytes << " bytes";
    EXPECT_EQ(text.find('='), std::string::npos);
  }
}

TEST(Base32Test, IncompleteLastGroupIsZeroFilled) {
  // 0xff: 11111 111 -> "7" then 111 + 00 = 28 -> "4".
  EXPECT_EQ(Base32::encode(std::vector<std::uint8_t>{0xff}), "74");
  // 0x00 0x01: 00000 00000 00000 1 -> "AAA" then 1 + 0000 = 16 -> "Q".
  EXPECT_EQ(Base32::encode(std::vector<std::uint8_t>{0x00, 0x01}), "AAAQ");
  EXPECT_EQ(Base32::encode(std::vector<std::uint8_t>{0xff, 0xff, 0xff, 0xff, 0xff}), "77777777");
}

TEST(GroupedTest, Table) {
  struct Case {
    const char* text;
    std::int64_t size;
    const char* separator;
    const char* expected;
  };
  const Case cases[] = {
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 4, "-", "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ"},
      {"ABCDEFGH", 4, "-", "ABCD-EFGH"},
      {"ABCD", 4, "-", "ABCD"},
      {"ABC", 4, "-", "ABC"},
      {"", 4, "-", ""},
      {"ABCDEFGH", 0, "-", "ABCDEFGH"},
      {"ABCDEFGH", -3, "-", "ABCDEFGH"},
      {"ABCDEFGH", INT64_MAX, "-", "ABCDEFGH"},
      {"ABCDE", 1, " \xe2\x80\x94 ",
       "A \xe2\x80\x94 B \xe2\x80\x94 C \xe2\x80\x94 D \xe2\x80\x94 E"},
      {"ABCDEF", 2, "", "ABCDEF"},
      // User-perceived characters: "e" with a combining acute accent, a flag of two regional
      // indicators, CR LF.
      {"e\xcc\x81xyz", 2, "|", "e\xcc\x81x|yz"},
      {"\xf0\x9f\x87\xab\xf0\x9f\x87\xb7"
       "ab",
       1, ".", "\xf0\x9f\x87\xab\xf0\x9f\x87\xb7.a.b"},
      {"a\r\nb", 2, "|", "a\r\n|b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(grouped(c.text, c.size, c.separator), c.expected)
        << ::testing::PrintToString(std::string(c.text)) << " by " << c.size;
  }
}

}  // namespace
}  // namespace varn::crypto
