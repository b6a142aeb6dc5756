#include "mcp/secrets/VaultWire.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/secrets/testing/ScriptedVault.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using support::JsonDecodeError;

template <typename F>
std::string decodeError(F decode) {
  try {
    decode();
  } catch (const JsonDecodeError& error) {
    return error.message();
  }
  return "<decoded>";
}

TEST(VaultWireTest, ClosedSetsReadExactlyTheirTexts) {
  for (VaultDecision d :
       {VaultDecision::allowed, VaultDecision::needsApproval, VaultDecision::refused}) {
    EXPECT_EQ(fromString<VaultDecision>(toString(d)), d);
  }
  for (AIAccess a : {AIAccess::injectable, AIAccess::humanGated, AIAccess::aiHidden}) {
    EXPECT_EQ(fromString<AIAccess>(toString(a)), a);
  }
  EXPECT_EQ(toString(VaultDecision::needsApproval), "needs_approval");
  EXPECT_EQ(toString(AIAccess::humanGated), "human_gated");
  EXPECT_EQ(toString(AIAccess::aiHidden), "ai_hidden");
  for (const char* text : {"Allowed", "ALLOWED", " allowed", "allowed ", "needsApproval", ""}) {
    EXPECT_EQ(fromString<VaultDecision>(text), std::nullopt) << text;
  }
  for (const char* text : {"public", "Injectable", "humanGated", "ai-hidden", ""}) {
    EXPECT_EQ(fromString<AIAccess>(text), std::nullopt) << text;
  }
}

TEST(VaultWireTest, OperationTextsInDeclarationOrder) {
  const std::vector<std::string> texts = {
      "resolve",     "preview",        "list",          "capture",      "secret_create",
      "secret_get",  "secret_update",  "secret_delete", "group_list",   "group_create",
      "group_get",   "group_update",   "group_delete",  "project_list", "project_create",
      "project_get", "project_update", "project_delete"};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    auto op = static_cast<VaultRequest::Op>(i);
    EXPECT_EQ(toString(op), texts[i]);
    EXPECT_EQ(fromString<VaultRequest::Op>(texts[i]), op);
  }
  EXPECT_EQ(fromString<VaultRequest::Op>("secretCreate"), std::nullopt);
  EXPECT_EQ(fromString<VaultRequest::Op>("Resolve"), std::nullopt);
}

TEST(VaultWireTest, RequestWithOnlyItsOpIsOneKey) {
  VaultRequest request;
  request.op = VaultRequest::Op::groupList;
  EXPECT_EQ(support::dumpEscapingSlashes(request.toJson()), R"({"op":"group_list"})");
}

TEST(VaultWireTest, RequestKeysFollowTheWireOrderAndEmptyValuesAreWritten) {
  VaultRequest request{VaultRequest::Op::secretUpdate,
                       "r",
                       false,
                       "c",
                       "q",
                       "n",
                       "fl",
                       "",
                       "k",
                       "not-a-tier",
                       "u",
                       "g",
                       "p",
                       "pa",
                       "https://x",
                       std::vector<std::string>{},
                       std::vector<std::string>{"git push", "ls"}};
  EXPECT_EQ(support::dumpEscapingSlashes(request.toJson()),
            R"({"op":"secret_update","ref":"r","approved":false,"collection":"c","query":"q",)"
            R"("name":"n","value":"","kind":"k","username":"u","group":"g","project":"p",)"
            R"("parent":"pa","url":"https:\/\/x","field_label":"fl","ai_access":"not-a-tier",)"
            R"("allowed_hosts":[],"allowed_commands":["git push","ls"]})");
  EXPECT_EQ(VaultRequest::fromJson(Json::parse(request.toJson().dump())), request);
}

TEST(VaultWireTest, RequestDecodingNeedsAKnownOp) {
  EXPECT_EQ(decodeError([] { (void)VaultRequest::fromJson(Json::parse(R"({"ref":"x"})")); }),
            R"(missing required key "op")");
  EXPECT_EQ(decodeError([] { (void)VaultRequest::fromJson(Json::parse(R"({"op":"delete"})")); }),
            R"(key "op" must be a vault operation text)");
}

struct ResponseCase {
  const char* json;
  const char* error;  // nullptr: decodes
};

// Keeps the byte dump of the case out of the test names; failures print the JSON.
void PrintTo(const ResponseCase&, std::ostream* out) {
  *out << "case";
}

class VaultResponseDecodingTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(VaultResponseDecodingTest, DecodesAllOrNothing) {
  const ResponseCase& c = GetParam();
  std::string got =
      decodeError([&] { (void)VaultResponse::fromJson(support::parseJsonOrThrow(c.json)); });
  EXPECT_EQ(got, c.error != nullptr ? c.error : "<decoded>") << c.json;
}

constexpr const char* kDecisionSet =
    R"(key "decision" must be one of "allowed", "needs_approval", "refused")";
constexpr const char* kTierSet =
    R"(key "ai_access" must be one of "injectable", "human_gated", "ai_hidden")";
constexpr const char* kLength = R"(key "length" must be an integer within the signed 64-bit range)";

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, VaultResponseDecodingTest,
    ::testing::Values(
        ResponseCase{R"({"decision":"allowed"})", nullptr},
        ResponseCase{R"({"decision":"refused","ai_access":null,"value":null})", nullptr},
        ResponseCase{R"({"decision":"refused","reason":"locked"})", nullptr},
        ResponseCase{R"({"decision":"allowed","length":5.0})", nullptr},
        ResponseCase{R"({"decision":"ALLOWED"})", kDecisionSet},
        ResponseCase{R"({"decision":"maybe"})", kDecisionSet},
        ResponseCase{R"({"decision":null})", R"(missing required key "decision")"},
        ResponseCase{R"({"decision":1})", R"(key "decision" must be a string)"},
        ResponseCase{R"({})", R"(missing required key "decision")"},
        ResponseCase{R"([])", "reply must be a JSON object"},
        ResponseCase{R"("allowed")", "reply must be a JSON object"},
        ResponseCase{R"({"decision":"allowed","ai_access":"public"})", kTierSet},
        ResponseCase{R"({"decision":"allowed","ai_access":"Injectable"})", kTierSet},
        ResponseCase{R"({"decision":"allowed","length":12.5})", kLength},
        ResponseCase{R"({"decision":"allowed","length":"12"})", kLength},
        ResponseCase{R"({"decision":"allowed","length":9223372036854775808})", kLength},
        ResponseCase{R"({"decision":"allowed","value":7})", R"(key "value" must be a string)"},
        ResponseCase{R"({"decision":"allowed","allowed_hosts":["a",1]})",
                     R"(key "allowed_hosts" must be an array of strings)"},
        ResponseCase{R"({"decision":"allowed","allowed_commands":"ls"})",
                     R"(key "allowed_commands" must be an array of strings)"}));

TEST(VaultWireTest, ResponseFieldsDecodeAndEncodeInDeclarationOrder) {
  Json reply = Json::parse(
      R"({"allowed_commands":["ls"],"allowed_hosts":["api.example.com"],"url":"https://e",)"
      R"("last4":"wxyz","length":-3,"type":"password","value":"s3cr3t","ai_access":"human_gated",)"
      R"("decision":"needs_approval"})");
  VaultResponse response = VaultResponse::fromJson(reply);
  VaultResponse expected{VaultDecision::needsApproval,
                         AIAccess::humanGated,
                         "s3cr3t",
                         "password",
                         -3,
                         "wxyz",
                         "https://e",
                         std::vector<std::string>{"api.example.com"},
                         std::vector<std::string>{"ls"}};
  EXPECT_EQ(response, expected);
  // The value is compared apart so that a failure never prints it.
  support::OrderedJson encoded = response.toJson();
  EXPECT_TRUE(encoded["value"] == "s3cr3t");
  encoded["value"] = "<masked>";
  EXPECT_EQ(support::dumpCompact(encoded),
            R"({"decision":"needs_approval","ai_access":"human_gated","value":"<masked>",)"
            R"("type":"password","length":-3,"last4":"wxyz","url":"https://e",)"
            R"("allowed_hosts":["api.example.com"],"allowed_commands":["ls"]})");

  VaultResponse bare = VaultResponse::fromJson(Json::parse(R"({"decision":"allowed"})"));
  EXPECT_EQ(bare, VaultResponse{.decision = VaultDecision::allowed});
  EXPECT_EQ(support::dumpCompact(bare.toJson()), R"({"decision":"allowed"})");
}

TEST(VaultWireTest, ListReplyKeepsOrderAndFailsAsAWhole) {
  auto entries = VaultListEntry::listFromJson(Json::parse(
      R"([{"ref":"varn://a/b/c","name":"B","type":"login","ai_access":"injectable"},)"
      R"({"ref":"varn://a/b/c","name":"B","type":"login","ai_access":"ai_hidden","extra":1}])"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (VaultListEntry{"varn://a/b/c", "B", "login", AIAccess::injectable}));
  EXPECT_EQ(entries[1], (VaultListEntry{"varn://a/b/c", "B", "login", AIAccess::aiHidden}));
  EXPECT_EQ(support::dumpCompact(entries[1].toJson()),
            R"({"ref":"varn://a/b/c","name":"B","type":"login","ai_access":"ai_hidden"})");

  EXPECT_TRUE(VaultListEntry::listFromJson(Json::array()).empty());

  const std::pair<const char*, const char*> failures[] = {
      {R"([{"ref":"r","name":"n","type":"t","ai_access":"injectable"},{"ref":"r","name":"n","ai_access":"injectable"}])",
       R"([1]: missing required key "type")"},
      {R"([{"ref":"r","name":"n","type":"t","ai_access":"public"}])",
       R"([0]: key "ai_access" must be one of "injectable", "human_gated", "ai_hidden")"},
      {R"([{"ref":"r","name":"n","type":"t"}])", R"([0]: missing required key "ai_access")"},
      {R"([7])", "[0]: list entry must be a JSON object"},
      {R"({"error":"locked"})", "list reply must be a JSON array"},
  };
  for (const auto& [json, error] : failures) {
    EXPECT_EQ(decodeError([&] { (void)VaultListEntry::listFromJson(Json::parse(json)); }), error)
        << json;
  }
}

// A complete client that supplies only the three required operations.
class MinimalVault final : public VaultClient {
 public:
  VaultResponse resolve(std::string_view, bool) override { return {}; }
  VaultResponse preview(std::string_view) override { return {}; }
  std::vector<VaultListEntry> list(const std::optional<std::string>&,
                                   const std::optional<std::string>&) override {
    return {};
  }
};

TEST(VaultWireTest, ProtocolDefaultsNameTheOpText) {
  MinimalVault vault;
  auto failure = [](auto call) -> std::string {
    try {
      call();
    } catch (const ToolError& error) {
      EXPECT_EQ(error.errorCase(), ToolError::Case::upstream);
      return error.message();
    }
    return "<no error>";
  };
  EXPECT_EQ(failure([&] { vault.captureSecret("https://e", std::nullopt); }),
            "vault does not support capture");
  // Every operation of the table, named by its op text.
  std::apply(
      [&]<typename... Operations>(Operations...) {
        (
            [&] {
              EXPECT_EQ(failure([&] { (void)vault.run<Operations>({}); }),
                        "vault does not support " + std::string(toString(Operations::op)));
            }(),
            ...);
      },
      ManagementOperations{});
}

}  // namespace
}  // namespace varn::mcp
