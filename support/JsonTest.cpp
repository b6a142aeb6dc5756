#include "support/Json.hpp"
#include "support/JsonWriter.hpp"

#include <gtest/gtest.h>

#include <string>

namespace varn::support {
namespace {

std::string nested(int levels) {
  return std::string(static_cast<std::size_t>(levels), '[') +
         std::string(static_cast<std::size_t>(levels), ']');
}

TEST(ParseJsonTest, AcceptsNestingUpToTheLimitAndRejectsDeeper) {
  EXPECT_TRUE(parseJson(nested(kMaxJsonDepth)).has_value());
  EXPECT_FALSE(parseJson(nested(kMaxJsonDepth + 1)).has_value());
}

TEST(ParseJsonTest, BracketsInsideStringsDoNotCountAsNesting) {
  std::string text = "{\"a\":\"" + std::string(2000, '[') + "\\\"" + std::string(2000, '{') + "\"}";
  auto value = parseJson(text);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->at("a").get<std::string>().size(), 4001u);
}

TEST(ParseJsonTest, RejectsWhatIsNotJson) {
  for (const char* text :
       {"", "   ", "{", "nope", "{\"a\":1}x", "1e400", "\"\xff\"", "{\"a\":\"\xc0\xaf\"}"}) {
    EXPECT_FALSE(parseJson(text).has_value()) << text;
  }
  // Every byte counts: a NUL is not the end of the text.
  for (std::string text : {std::string("{\"a\":1}\0x", 9), std::string("{\"a\":1}\0", 8),
                           std::string("[1,\0]", 5), std::string("{\"a\":\"\0\"}", 9)}) {
    EXPECT_FALSE(parseJson(text).has_value()) << text.size();
  }
  EXPECT_THROW((void)parseJsonOrThrow("{"), JsonDecodeError);
}

TEST(ParseJsonTest, AllowsSurroundingWhiteSpace) {
  EXPECT_TRUE(parseJson(" \r\n{\"a\":1}\r ").has_value());
}

TEST(DumpTest, EscapesEverySlashAndKeepsUtf8Raw) {
  OrderedJson value;
  value["op"] = "list";
  value["ref"] = "varn://a/b/c \u00e9";
  EXPECT_EQ(dumpEscapingSlashes(value),
            "{\"op\":\"list\",\"ref\":\"varn:\\/\\/a\\/b\\/c \u00e9\"}");
}

TEST(DumpTest, ReplacesInvalidUtf8InsteadOfThrowing) {
  Json value = std::string("a\xff");
  EXPECT_NO_THROW((void)dumpCompact(value));
}

struct IntCase {
  const char* json;
  bool accepted;
  std::int64_t value;
};

class RequireInt64Test : public ::testing::TestWithParam<IntCase> {};

TEST_P(RequireInt64Test, AcceptsOnlyWholeNumbersInRange) {
  const IntCase& c = GetParam();
  Json object = parseJsonOrThrow(std::string("{\"n\":") + c.json + "}");
  if (c.accepted) {
    EXPECT_EQ(requireInt64(object, "n"), c.value);
  } else {
    EXPECT_THROW((void)requireInt64(object, "n"), JsonDecodeError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, RequireInt64Test,
    ::testing::Values(
        IntCase{"12", true, 12}, IntCase{"-12", true, -12}, IntCase{"5.0", true, 5},
        IntCase{"12.5", false, 0}, IntCase{"\"12\"", false, 0}, IntCase{"true", false, 0},
        IntCase{"9223372036854775807", true, INT64_MAX},
        IntCase{"-9223372036854775808", true, INT64_MIN}, IntCase{"9223372036854775808", false, 0},
        IntCase{"18446744073709551615", false, 0}, IntCase{"9.3e18", false, 0},
        // Read exactly, not through a double: the first is 8 above INT64_MIN; the next three round
        // to a whole double.
        IntCase{"-9.2233720368547758e18", true, INT64_MIN + 8},
        IntCase{"-9223372036854775809", false, 0}, IntCase{"12345678901234567890123e-5", false, 0},
        IntCase{"1.00000000000000001", false, 0},
        IntCase{"12345678901234567800000e-5", true, 123456789012345678}, IntCase{"-0.0e0", true, 0},
        IntCase{"1E+2", true, 100}, IntCase{"0.5e1", true, 5}, IntCase{"1e-1", false, 0},
        IntCase{"1e30", false, 0}, IntCase{"1e-400", false, 0},
        IntCase{"0e1000000000000000", true, 0}, IntCase{"92233720368547758070e-1", true, INT64_MAX},
        IntCase{"92233720368547758080e-1", false, 0}));

TEST(StrictDecodingTest, RequiredKeysMustBePresentNonNullAndTyped) {
  Json object = Json::parse(R"({"s":"x","n":null,"b":true,"l":["a"],"m":{"k":"v"}})");
  EXPECT_EQ(requireString(object, "s"), "x");
  EXPECT_THROW((void)requireString(object, "n"), JsonDecodeError);
  EXPECT_THROW((void)requireString(object, "missing"), JsonDecodeError);
  EXPECT_THROW((void)requireString(object, "b"), JsonDecodeError);
  EXPECT_EQ(requireBool(object, "b"), true);
  EXPECT_EQ(requireStringList(object, "l"), std::vector<std::string>{"a"});
  EXPECT_EQ(optionalStringMap(object, "m")->at("k"), "v");
}

TEST(StrictDecodingTest, OptionalKeysMayBeAbsentOrNullButTypedWhenPresent) {
  Json object = Json::parse(R"({"n":null,"b":1,"l":["a",2],"m":{"k":1}})");
  EXPECT_FALSE(optionalString(object, "n").has_value());
  EXPECT_FALSE(optionalString(object, "absent").has_value());
  EXPECT_THROW((void)optionalBool(object, "b"), JsonDecodeError);
  EXPECT_THROW((void)optionalStringList(object, "l"), JsonDecodeError);
  EXPECT_THROW((void)optionalStringMap(object, "m"), JsonDecodeError);
}

TEST(StrictDecodingTest, ErrorsNameTheKeyButNeverTheValue) {
  Json object = Json::parse(R"({"value":12345678})");
  try {
    (void)requireString(object, "value");
    FAIL() << "expected a decoding error";
  } catch (const JsonDecodeError& error) {
    std::string text = error.what();
    EXPECT_NE(text.find("\"value\""), std::string::npos);
    EXPECT_EQ(text.find("12345678"), std::string::npos);
  }
}

TEST(StrictDecodingTest, ListFailsAsAWholeAndNamesTheElement) {
  Json object = Json::parse(R"({"groups":[{"id":"a"},{"name":"b"}]})");
  auto decodeId = [](const Json& element) { return requireString(element, "id"); };
  try {
    (void)requireList(object, "groups", decodeId);
    FAIL() << "expected a decoding error";
  } catch (const JsonDecodeError& error) {
    EXPECT_EQ(std::string(error.what()), "groups[1]: missing required key \"id\"");
  }
  EXPECT_THROW((void)requireList(Json::parse(R"({"groups":null})"), "groups", decodeId),
               JsonDecodeError);
}

TEST(StrictDecodingTest, NonObjectsAreRejected) {
  EXPECT_THROW((void)requireString(Json::array(), "a"), JsonDecodeError);
  EXPECT_THROW((void)optionalString(Json("text"), "a"), JsonDecodeError);
}

TEST(JsonWriterTest, WritesTextsAsTheJsonLibraryReadsThem) {
  for (std::string_view text : std::initializer_list<std::string_view>{
           "", "plain", "a\"b\\c/d", "\b\f\n\r\t\x01\x1f", "é\xe2\x80\xa8", "\xff cut",
           std::string_view("nul\0in", 6)}) {
    std::string out = "x";
    appendJsonString(out, text);
    ASSERT_EQ(out.find('\n'), std::string::npos);
    EXPECT_EQ(out.substr(1), dumpCompact(Json(std::string(text))));
  }
}

TEST(JsonScanTest, TopLevelMembersAreFoundAsWrittenTheLastOneCounting) {
  EXPECT_EQ(memberText(R"({"a":1, "id" : [ 1 , "x y" ] ,"b":{"id":2}})", "id"), R"([1,"x y"])");
  EXPECT_EQ(memberText(R"({"id":1,"\u0069d":-0})", "id"), "-0");
  EXPECT_EQ(memberText(R"({"ids":1,"b":{"id":2}})", "id"), std::nullopt);
  EXPECT_EQ(memberText("\xEF\xBB\xBF \t{\"id\":5}", "id"), "5");
  EXPECT_TRUE(hasMember(R"({"id":"x","m\u0065thod":"ping"})", "method"));
  EXPECT_FALSE(hasMember(R"({"id":"method","params":{"method":1}})", "method"));
}

TEST(JsonScanTest, ParsedBytesCountsWhatTheValueHoldsNotItsLength) {
  std::string texts = "[";
  for (int i = 0; i < 10'000; ++i) texts += "\"a\",";
  texts.back() = ']';
  const std::string one = "[\"" + std::string(50'000, 'a') + "\"]";
  EXPECT_GT(parsedBytes(texts), 20 * texts.size());
  EXPECT_LT(parsedBytes(one), 2 * one.size());
}

TEST(JsonScanTest, AnOutlineKeepsOnlyTheNamedMembers) {
  const std::string_view keep[] = {"id", "method", "params.name"};
  EXPECT_EQ(parseJsonOutline(R"({"id":[1],"method":"m","x":[1,2],"params":{"name":"n",)"
                             R"("arguments":{"a":[1]}},"result":{"action":"y"}})",
                             keep),
            Json::parse(R"({"id":null,"method":"m","params":{"name":"n"}})"));
  EXPECT_EQ(parseJsonOutline(R"({"id":1)", keep), std::nullopt);
}

TEST(JsonScanTest, HugeNumbersAreClampedOutsideStringsOnly) {
  EXPECT_EQ(clampHugeNumbers(R"({"a":1e400,"b":"1e400","c":[-1E999],"d":1e2})"),
            R"({"a":1.7976931348623157e308,"b":"1e400","c":[-1.7976931348623157e308],"d":1e2})");
  EXPECT_EQ(clampHugeNumbers(R"([18446744073709551616,"x"])"), std::nullopt);
}

}  // namespace
}  // namespace varn::support
