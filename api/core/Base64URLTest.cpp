#include "api/core/Base64URL.hpp"

#include <gtest/gtest.h>

namespace varn::api {
namespace {

TEST(Base64URLTest, EncodesUrlSafeWithoutPadding) {
  EXPECT_EQ(Base64URL::encode({0xFB, 0xFF}), "-_8");
  EXPECT_EQ(Base64URL::encode({}), "");
  EXPECT_EQ(Base64URL::encode({0xFF}), "_w");
  EXPECT_EQ(Base64URL::encode({1, 2, 3}), "AQID");
  EXPECT_EQ(Base64URL::encode({0xFB, 0xEF, 0xBE}), "----");
}

TEST(Base64URLTest, DecodesWithOrWithoutPaddingAndRefusesTheRest) {
  const struct {
    const char* text;
    std::optional<Bytes> bytes;
  } cases[] = {
      {"-_8", Bytes{0xFB, 0xFF}},
      {"-_8=", Bytes{0xFB, 0xFF}},
      {"+/8", Bytes{0xFB, 0xFF}},  // "-" and "_" become "+" and "/" before strict decoding
      {"", Bytes{}},
      {"_w", Bytes{0xFF}},
      {"AQID", Bytes{1, 2, 3}},
      {"A", std::nullopt},      // length 1 modulo 4
      {"AQIDB", std::nullopt},  // length 1 modulo 4
      {"_x", std::nullopt},     // bits left over in the last character
      {"-_8==", std::nullopt},
      {"A Q", std::nullopt},
      {"AQ\n", std::nullopt},
      {"*Q", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64URL::decode(c.text), c.bytes) << c.text;
}

}  // namespace
}  // namespace varn::api
