#include "support/JsonRecord.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/JsonSchema.hpp"
#include "support/Uuid.hpp"

namespace varn::support {
namespace {

enum class Colour { red, darkBlue };
constexpr auto jsonEnumTexts(Colour) {
  return EnumTexts<Colour, 2>{{{{Colour::red, "red"}, {Colour::darkBlue, "dark_blue"}}}};
}

struct Inner {
  std::int64_t n = 0;
  std::optional<Colour> colour{};
  bool operator==(const Inner&) const = default;
};
VARN_JSON_RECORD(Inner, "inner", VARN_JSON_FIELD(n), VARN_JSON_FIELD(colour));

struct Outer {
  std::string camelName{};
  Uuid id{};
  std::optional<Inner> inner{};
  std::vector<Inner> list{};
  std::optional<std::vector<std::string>> tags{};
  bool operator==(const Outer&) const = default;
};
VARN_JSON_RECORD(Outer, "outer", VARN_JSON_FIELD(camelName), VARN_JSON_FIELD_AS(id, "the_id"),
                 VARN_JSON_FIELD(inner), VARN_JSON_FIELD(list), VARN_JSON_FIELD(tags));

std::string decodeError(const char* json) {
  try {
    (void)decodeRecordText<Outer>(json);
  } catch (const JsonDecodeError& error) {
    return error.message();
  }
  return "<decoded>";
}

constexpr const char* kId = "00112233-4455-6677-8899-AABBCCDDEEFF";

TEST(JsonRecordTest, WritesTableOrderWithoutAbsentOptionalsAndReadsItBack) {
  Outer outer{"x",
              *Uuid::parse(kId),
              std::nullopt,
              {{1, Colour::darkBlue}, {-2, std::nullopt}},
              std::nullopt};
  std::string text = dumpCompact(encodeRecord(outer));
  EXPECT_EQ(text, std::string(R"({"camelName":"x","the_id":")") + kId +
                      R"(","list":[{"n":1,"colour":"dark_blue"},{"n":-2}]})");
  EXPECT_EQ(decodeRecordText<Outer>(text), outer);
}

TEST(JsonRecordTest, ReadsNullAsAbsentLowerCaseUuidsAndIgnoresUnknownKeys) {
  Outer outer =
      decodeRecordText<Outer>(R"({"extra":[1],"tags":null,"inner":null,"list":[],"camelName":"",)"
                              R"("the_id":"00112233-4455-6677-8899-aabbccddeeff"})");
  EXPECT_EQ(outer, (Outer{"", *Uuid::parse(kId), std::nullopt, {}, std::nullopt}));
}

TEST(JsonRecordTest, FailuresNameTheKeyAndItsPath) {
  const std::string head = std::string(R"({"camelName":"x","the_id":")") + kId + "\",";
  struct Case {
    std::string json;
    const char* error;
  } cases[] = {
      {"[]", "outer must be a JSON object"},
      {R"({"camelName":"x","list":[]})", R"(missing required key "the_id")"},
      {head + R"("list":null})", R"(missing required key "list")"},
      {head + R"("list":{}})", R"(key "list" must be an array)"},
      {head + R"("list":[{"n":1},{}]})", R"(list[1]: missing required key "n")"},
      {head + R"("list":[7]})", "list[0]: inner must be a JSON object"},
      {head + R"("list":[{"n":1.5}]})",
       R"(list[0]: key "n" must be an integer within the signed 64-bit range)"},
      {head + R"("list":[{"n":"1"}]})",
       R"(list[0]: key "n" must be an integer within the signed 64-bit range)"},
      {head + R"("list":[{"n":-9223372036854775809}]})",
       R"(list[0]: key "n" must be an integer within the signed 64-bit range)"},
      {head + R"("list":[],"inner":{"n":1,"colour":"darkBlue"}})",
       R"(inner: key "colour" must be one of "red", "dark_blue")"},
      {head + R"("list":[],"tags":[1]})", R"(key "tags" must be an array of strings)"},
      {R"({"camelName":"x","the_id":"{00112233-4455-6677-8899-AABBCCDDEEFF}","list":[]})",
       R"(key "the_id" must be a UUID text)"},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeError(c.json.c_str()), c.error) << c.json;
}

// Every shape a tool's arguments take, required and optional.
struct Arguments {
  std::string url{};
  std::optional<bool> follow{};
  std::int64_t tries = 0;
  std::optional<std::map<std::string, std::string>> headers{};
  std::optional<std::vector<std::string>> argv{};
  std::optional<std::string> mode{};
  static constexpr std::string_view kModes[] = {"fast", "safe"};
};
VARN_JSON_RECORD(Arguments, "arguments", VARN_JSON_FIELD(url), VARN_JSON_FIELD(follow),
                 VARN_JSON_FIELD(tries), VARN_JSON_FIELD_AS(headers, "header_map"),
                 VARN_JSON_FIELD(argv), VARN_JSON_FIELD(mode).oneOf(Arguments::kModes));

TEST(JsonRecordTest, SchemaListsEveryKeyWithItsShapeAndTheRequiredOnesInTableOrder) {
  const JsonRecordSchema schema = jsonRecordSchema<Arguments>();
  EXPECT_EQ(dumpCompact(schema.properties),
            R"({"url":{"type":"string"},"follow":{"type":"boolean"},"tries":{"type":"integer"},)"
            R"("header_map":{"type":"object"},"argv":{"type":"array","items":{"type":"string"}},)"
            R"("mode":{"type":"string","enum":["fast","safe"]}})");
  EXPECT_EQ(schema.required, (std::vector<std::string>{"url", "tries"}));
  // The texts are announced only: the reader of the record refuses the others itself.
  EXPECT_EQ(decodeRecordText<Arguments>(R"({"url":"u","tries":1,"mode":"slow"})").mode, "slow");
}

TEST(UuidTest, ParsesOnlyTheHyphenatedFormAndPrintsUpperCase) {
  EXPECT_EQ(Uuid::parse(kId)->toString(), kId);
  EXPECT_EQ(Uuid::parse("00000000-0000-0000-0000-000000000000"), Uuid{});
  for (const char* bad :
       {"", "00112233445566778899AABBCCDDEEFF", "00112233-4455-6677-8899-AABBCCDDEEF",
        "00112233-4455-6677-8899-AABBCCDDEEFFF", "0011223-34455-6677-8899-AABBCCDDEEFF",
        "00112233-4455-6677-8899-AABBCCDDEEFG", " 0112233-4455-6677-8899-AABBCCDDEEFF"}) {
    EXPECT_EQ(Uuid::parse(bad), std::nullopt) << bad;
  }
  Uuid a = Uuid::random();
  EXPECT_NE(a, Uuid::random());
  EXPECT_EQ(a.toString()[14], '4');
  EXPECT_EQ(Uuid::parse(a.toString()), a);
}

}  // namespace
}  // namespace varn::support
