#include "mcp/browser/PageChannel.hpp"

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

using support::Json;

// A script's reply in each shape it comes in, and the answer and handle read from it.
struct AnswerCase {
  const char* name;
  const char* reply;
  const char* answer;
  const char* handle = "";
};

const AnswerCase kAnswers[] = {
    {"JsonText",
     R"({"result": {"type": "string", "value": "{\"answer\": \"found\", \"count\": 2}"}})",
     R"({"answer": "found", "count": 2})"},
    // An evaluation by value; a text that holds no object answers nothing.
    {"AnObjectByValue", R"({"result": {"type": "object", "value": {"state": "complete"}}})",
     R"({"state": "complete"})"},
    {"TextThatIsNoObject", R"({"result": {"type": "string", "value": "https://a/[1]"}})", "{}"},
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
     R"({"answer": "found", "count": 1, "sole": true})", "1.2.3"},
    {"ADeepSerializedNull",
     R"({"result": {"type": "object", "subtype": "null", "value": null,
         "deepSerializedValue": {"type": "null"}}})",
     "{}"},
};

class ScriptReplyTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(ScriptReplyTest, ReadsTheAnswerOfEachReplyShape) {
  const ScriptReply read = ScriptReply::read(Json::parse(GetParam().reply));
  EXPECT_EQ(read.answer, Json::parse(GetParam().answer));
  EXPECT_EQ(read.handle, GetParam().handle);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ScriptReplyTest, testing::ValuesIn(kAnswers),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varn::mcp
