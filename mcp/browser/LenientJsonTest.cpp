#include "mcp/browser/LenientJson.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

using support::Json;

// What a reader finds under one path of a DevTools-shaped reply.
struct LenientCase {
  const char* name;
  std::vector<std::string> path;
  std::optional<std::string> text;
  std::optional<std::int64_t> integer;
  bool isObject = false;
  bool isArray = false;
};

const Json kReply = Json::parse(R"({
  "result": {"type": "string", "value": "complete", "objectId": 7},
  "frames": 2, "ratio": 2.5, "big": 1e2, "nothing": null,
  "targetInfos": [{"targetId": "A"}], "params": {"frameId": "F"}
})");

class LenientJsonTest : public testing::TestWithParam<LenientCase> {};

TEST_P(LenientJsonTest, ReadsWhatIsThereAndTheFallbackForAnythingElse) {
  const LenientCase& c = GetParam();
  LenientJson at(kReply);
  for (const std::string& key : c.path) at = at[key];
  EXPECT_EQ(at.optionalText(), c.text);
  EXPECT_EQ(at.text("fallback"), c.text.value_or("fallback"));
  EXPECT_EQ(at.integer(), c.integer);
  EXPECT_EQ(at.isObject(), c.isObject);
  EXPECT_EQ(at.isArray(), c.isArray);
  // Anything but an object or an array reads as an empty one.
  EXPECT_TRUE(at.object().is_object());
  EXPECT_EQ(at.object().size(), c.isObject ? 1U : 0U);
  EXPECT_TRUE(at.array().is_array());
  EXPECT_EQ(at.array().size(), c.isArray ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LenientJsonTest,
    testing::Values(
        LenientCase{"NestedString", {"result", "value"}, "complete", std::nullopt},
        LenientCase{"Integer", {"frames"}, std::nullopt, 2},
        LenientCase{"FractionIsNoInteger", {"ratio"}, std::nullopt, std::nullopt},
        LenientCase{"NumberNotText", {"result", "objectId"}, std::nullopt, 7},
        LenientCase{"Null", {"nothing"}, std::nullopt, std::nullopt},
        LenientCase{"MissingKey", {"result", "exceptionDetails"}, std::nullopt, std::nullopt},
        LenientCase{"KeyOfAString", {"result", "value", "length"}, std::nullopt, std::nullopt},
        LenientCase{"KeyOfAnArray", {"targetInfos", "targetId"}, std::nullopt, std::nullopt},
        LenientCase{"Object", {"params"}, std::nullopt, std::nullopt, true},
        LenientCase{"Array", {"targetInfos"}, std::nullopt, std::nullopt, false, true}),
    [](const testing::TestParamInfo<LenientCase>& param) { return std::string(param.param.name); });

TEST(LenientJsonHasTest, NamesMembersOfAnObjectOnly) {
  EXPECT_TRUE(LenientJson(kReply).has("nothing"));
  EXPECT_FALSE(LenientJson(kReply).has("errorText"));
  EXPECT_FALSE(LenientJson(kReply)["frames"].has("frames"));
}

}  // namespace
}  // namespace varn::mcp
