#include "api/models/JSONValue.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "api/models/CryptoParamsDTO.hpp"

namespace varn::api {
namespace {

using Object = JSONValue::Object;

JSONValue read(std::string_view text) {
  return JSONValue::fromJson(*support::parseJson(text));
}

struct ReadCase {
  const char* text;
  JSONValue expected;
};

TEST(JSONValueTest, ReadsEachKindAndWholeNumbersAsIntegers) {
  const ReadCase cases[] = {
      {"1", JSONValue::integer(1)},
      {"-7", JSONValue::integer(-7)},
      {"1.5", JSONValue::floating(1.5)},
      {"true", JSONValue::boolean(true)},
      {"\"1\"", JSONValue::string("1")},
      {"null", JSONValue::null()},
      {R"([1,"a",null])",
       JSONValue::array({JSONValue::integer(1), JSONValue::string("a"), JSONValue::null()})},
      {R"({"a":{}})", JSONValue::object({{"a", JSONValue::object({})}})},
      // One rule for every number: a whole number within the signed 64-bit range is an integer,
      // however it is written.
      {"3.0", JSONValue::integer(3)},
      {"1e2", JSONValue::integer(100)},
      {"-0.0", JSONValue::integer(0)},
      {"9223372036854775807", JSONValue::integer(std::numeric_limits<std::int64_t>::max())},
      {"-9223372036854775808", JSONValue::integer(std::numeric_limits<std::int64_t>::min())},
      {"9223372036854775808", JSONValue::floating(9223372036854775808.0)},
      {"18446744073709551615", JSONValue::floating(18446744073709551615.0)},
      {"1e300", JSONValue::floating(1e300)},
      {"-9223372036854775809", JSONValue::floating(-0x1p63)},
      {"12345678901234567890123e-5", JSONValue::floating(123456789012345678.90123)},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.text), c.expected) << c.text;
}

TEST(JSONValueTest, EqualityIsStructural) {
  EXPECT_NE(JSONValue::integer(1), JSONValue::floating(1.0));
  EXPECT_NE(JSONValue::integer(1), JSONValue::boolean(true));
  EXPECT_EQ(read(R"({"a":1,"b":2})"), read(R"({"b":2,"a":1})"));
  EXPECT_NE(read("[1,2]"), read("[2,1]"));
  EXPECT_NE(JSONValue::floating(std::nan("")), JSONValue::floating(std::nan("")));
}

TEST(JSONValueTest, NestingPastTheLimitIsUnsupported) {
  auto nested = [](int depth) {
    support::Json value = support::Json::array();
    for (int i = 1; i < depth; ++i) value = support::Json::array({std::move(value)});
    return value;
  };
  EXPECT_NO_THROW((void)JSONValue::fromJson(nested(JSONValue::kMaxDepth)));
  try {
    (void)JSONValue::fromJson(nested(JSONValue::kMaxDepth + 1));
    ADD_FAILURE() << "decoded";
  } catch (const support::JsonDecodeError& error) {
    EXPECT_EQ(error.message(), "unsupported JSON value");
  }
}

TEST(JSONValueTest, WritesEveryKindAndRefusesNonFiniteNumbers) {
  const JSONValue value = read(R"({"b":[1,2.5,"x",false,null],"a":{}})");
  EXPECT_EQ(value.toJson().dump(), R"({"a":{},"b":[1,2.5,"x",false,null]})");
  EXPECT_THROW((void)JSONValue::floating(INFINITY).toJson(), support::JsonDecodeError);
}

TEST(CryptoParamsDTOTest, MadeParametersNameTheirEnvelopeVersion) {
  EXPECT_EQ(CryptoParamsDTO(2).rawJSON(), R"({"envelope_version":2})");
  EXPECT_EQ(CryptoParamsDTO(2).envelopeVersion(), 2);
  EXPECT_EQ(CryptoParamsDTO().rawJSON(), R"({"envelope_version":1})");
}

TEST(CryptoParamsDTOTest, RawJsonHoldsAnyValueOrFallsBack) {
  const struct {
    std::string text;
    std::string raw;
    std::int64_t version;
  } cases[] = {
      {"not json", R"({"envelope_version":1})", 1},
      {"", R"({"envelope_version":1})", 1},
      {"{\"a\":\"\xFF\"}", R"({"envelope_version":1})", 1},  // not UTF-8
      {"[1,2]", "[1,2]", 1},
      {R"({"envelope_version":3})", R"({"envelope_version":3})", 3},
      {R"("text")", R"("text")", 1},
      {"null", "null", 1},
      {R"({"b":1,"a":{"d":1,"c":2}})", R"({"a":{"c":2,"d":1},"b":1})", 1},
      {R"({"envelope_version":2.9})", R"({"envelope_version":2.9})", 2},
      {R"({"envelope_version":-1.5})", R"({"envelope_version":-1.5})", -1},
      {R"({"envelope_version":"2"})", R"({"envelope_version":"2"})", 1},
      {R"({"envelope_version":1e300})", R"({"envelope_version":1e+300})", 1},
      {R"({"v":{"envelope_version":4}})", R"({"v":{"envelope_version":4}})", 1},
  };
  for (const auto& c : cases) {
    CryptoParamsDTO params = CryptoParamsDTO::fromRawJSON(c.text);
    EXPECT_EQ(params.rawJSON(), c.raw) << c.text;
    EXPECT_EQ(params.envelopeVersion(), c.version) << c.text;
  }
}

TEST(CryptoParamsDTOTest, ValuesJsonCannotHoldGiveEmptyCanonicalText) {
  CryptoParamsDTO params;
  params.value = JSONValue::object({{"x", JSONValue::floating(std::nan(""))}});
  EXPECT_EQ(params.rawJSON(), "{}");
  EXPECT_EQ(params.envelopeVersion(), 1);
  params.value = JSONValue::object({{"envelope_version", JSONValue::floating(-INFINITY)}});
  EXPECT_EQ(params.envelopeVersion(), 1);
  params.value = JSONValue::string("\xC3");
  EXPECT_EQ(params.rawJSON(), "{}");
}

}  // namespace
}  // namespace varn::api
