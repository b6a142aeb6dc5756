#include "mcp/browser/FieldElement.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

using support::Json;

// A probe's reply in each shape it comes in, and the answer read from it.
struct AnswerCase {
  const char* name;
  const char* reply;
  const char* answer;
};

const AnswerCase kAnswers[] = {
    {"JsonText",
     R"({"result": {"type": "string", "value": "{\"answer\": \"found\", \"count\": 2}"}})",
     R"({"answer": "found", "count": 2})"},
    // A record handed out by reference: its plain members; a nested object, a member without a
    // value and a malformed pair are left out.
    {"TheMembersOfADeepSerializedObject",
     R"({"result": {"type": "object", "objectId": "1.2.3", "deepSerializedValue": {
         "type": "object", "value": [
           ["answer", {"type": "string", "value": "found"}],
           ["count", {"type": "number", "value": 1}],
           ["sole", {"type": "boolean", "value": true}],
           ["node", {"type": "node", "value": {"nodeType": 1}}],
           ["gone", {"type": "undefined"}],
           ["short"], [3, {"type": "number", "value": 3}], "odd"]}}})",
     R"({"answer": "found", "count": 1, "sole": true})"},
    {"ADeepSerializedNull",
     R"({"result": {"type": "object", "subtype": "null", "value": null,
         "deepSerializedValue": {"type": "null"}}})",
     "{}"},
};

class ScriptAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ScriptAnswerTest, ReadsTheAnswerOfEachReplyShape) {
  EXPECT_EQ(scriptAnswer(Json::parse(GetParam().reply)), Json::parse(GetParam().answer));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScriptAnswerTest, testing::ValuesIn(kAnswers),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::mcp
