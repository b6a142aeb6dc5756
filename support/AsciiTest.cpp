#include "support/Ascii.hpp"

#include <gtest/gtest.h>

namespace varn::support {
namespace {

// Only A to Z change case and only 0-9, a-f, A-F are digits, whatever the byte beyond ASCII.
TEST(AsciiTest, CaseAndHexDigitsStayWithinAscii) {
  EXPECT_EQ(asciiLower("Content-TYPE \xC3\x84Z@[`{"), "content-type \xC3\x84z@[`{");
  EXPECT_TRUE(equalsIgnoringAsciiCase("HoSt", "hOsT"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("host", "hosts"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("\xC3\x84", "\xC3\xA4"));
  const struct {
    char c;
    int value;
  } digits[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'F', 15}, {'g', -1},   {'/', -1},
                {':', -1}, {'@', -1}, {'G', -1}, {'`', -1}, {'\xB0', -1}};
  for (const auto& [c, value] : digits) EXPECT_EQ(hexDigitValue(c), value) << c;
  std::string hex;
  appendHexUpper(hex, 0x0A);
  appendHexUpper(hex, 0xFF);
  EXPECT_EQ(hex, "0AFF");
}

}  // namespace
}  // namespace varn::support
