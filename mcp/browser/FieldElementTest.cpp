#include "mcp/browser/FieldElement.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

using support::Json;

// A page script's reply in each shape Runtime.callFunctionOn gives it, and the answer read from it.
struct AnswerCase {
  const char* name;
  const char* reply;
  const char* answer;
};

const AnswerCase kAnswers[] = {
    {"AnObjectByValue", R"({"result": {"type": "object", "value": {"answer": "typed"}}})",
     R"({"answer": "typed"})"},
    {"JsonText",
     R"({"result": {"type": "string", "value": "{\"answer\": \"found\", \"count\": 2}"}})",
     R"({"answer": "found", "count": 2})"},
    {"TextThatIsNoJson", R"({"result": {"type": "string", "value": "found"}})", "{}"},
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
    {"NoResult", R"({"exceptionDetails": {"text": "Uncaught"}})", "{}"},
};

class ScriptAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ScriptAnswerTest, ReadsTheAnswerOfEveryReplyShape) {
  EXPECT_EQ(scriptAnswer(Json::parse(GetParam().reply)), Json::parse(GetParam().answer));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScriptAnswerTest, testing::ValuesIn(kAnswers),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::mcp
