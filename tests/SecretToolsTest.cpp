// secret_list and secret_resolve_preview end to end: what reaches the vault, what comes back, and
// that a value the vault sends along never does.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

class SecretToolsTest : public ServerTest {
 protected:
  void startBoth() {
    startVault();
    startServer();
  }
  std::string onlyRequest() {
    std::vector<RecordedRequest> requests = vault->requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? "" : requests.back().line;
  }
};

TEST_F(SecretToolsTest, ListWithoutArgumentsSendsOnlyTheOpAndKeepsTheVaultsOrder) {
  startVault();
  // Compacted: the reply is one line.
  vault->answer("list", VaultReply::line(support::dumpCompact(Json::parse(R"([
      {"ref":"varn://Work/GitHub/password","name":"GitHub","type":"password","ai_access":"injectable"},
      {"ref":"varn://Work/Bank/pin","name":"Bank","type":"pin","ai_access":"human_gated","x":1},
      {"ref":"varn://Work/GitHub/password","name":"GitHub","type":"password","ai_access":"ai_hidden"}])"))));
  startServer();
  ToolResult result = call("secret_list");
  EXPECT_EQ(onlyRequest(), R"({"op":"list"})");
  ASSERT_FALSE(result.isError) << result.text;
  EXPECT_EQ(Json::parse(result.text), Json::parse(R"({"items":[
      {"ref":"varn://Work/GitHub/password","name":"GitHub","type":"password","ai_access":"injectable"},
      {"ref":"varn://Work/Bank/pin","name":"Bank","type":"pin","ai_access":"human_gated"},
      {"ref":"varn://Work/GitHub/password","name":"GitHub","type":"password","ai_access":"ai_hidden"}]})"));
}

TEST_F(SecretToolsTest, ListForwardsCollectionAndQueryOnlyWhenGiven) {
  struct Case {
    Json arguments;
    std::string request;
  };
  const std::vector<Case> cases{
      {{{"collection", "Work"}, {"query", "git/hub"}},
       R"({"op":"list","collection":"Work","query":"git\/hub"})"},
      {{{"collection", nullptr}, {"query", ""}}, R"({"op":"list","query":""})"},
      {{{"collection", "Work"}, {"other", true}}, R"({"op":"list","collection":"Work"})"},
      {Json("not an object"), R"({"op":"list"})"},
  };
  startVault();
  vault->answer("list", VaultReply::line("[]"));
  startServer();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(call("secret_list", cases[i].arguments), (ToolResult{R"({"items":[]})", false}));
    ASSERT_TRUE(vault->waitForRequests(i + 1));
    EXPECT_EQ(vault->requests()[i].line, cases[i].request) << cases[i].arguments.dump();
  }
}

TEST_F(SecretToolsTest, ListFailsWithTheVaultsErrorOrAReplyThatDoesNotDecode) {
  startVault();
  vault->enqueue(VaultReply::errorEnvelope("vault is locked"));
  vault->enqueue(VaultReply::line(R"([{"ref":"r","name":"n","type":"t","ai_access":"public"}])"));
  vault->enqueue(VaultReply::line(R"([{"ref":"r","name":"n","type":"t","ai_access":"injectable"},)"
                                  R"({"ref":"r","name":"n","ai_access":"injectable"}])"));
  startServer();
  EXPECT_EQ(call("secret_list"), (ToolResult{R"(error: upstream("vault is locked"))", true}));
  for (int i = 0; i < 2; ++i) {
    ToolResult result = call("secret_list");
    EXPECT_TRUE(result.isError) << result.text;
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
  }
}

TEST_F(SecretToolsTest, PreviewReturnsTheDescriptorAndDropsTheValue) {
  std::string value = leaks.secret("pr3view-s3cret-ab12");
  startVault();
  vault->answer("preview", VaultReply::line(
                               support::dumpCompact(Json{{"decision", "allowed"},
                                                         {"ai_access", "injectable"},
                                                         {"value", value},
                                                         {"type", "password"},
                                                         {"length", 19},
                                                         {"last4", "ab12"},
                                                         {"url", "https://github.com"},
                                                         {"allowed_hosts", {"api.github.com"}}})));
  startServer();
  const std::string ref = "varn://local/GitHub/password?attribute=type";
  ToolResult result = call("secret_resolve_preview", {{"ref", ref}});
  EXPECT_EQ(onlyRequest(),
            R"({"op":"preview","ref":"varn:\/\/local\/GitHub\/password?attribute=type"})");
  ASSERT_FALSE(result.isError) << leaks.redact(result.text);
  EXPECT_EQ(Json::parse(result.text),
            (Json{{"ref", ref}, {"type", "password"}, {"length", 19}, {"last4", "ab12"}}))
      << leaks.redact(result.text);
}

TEST_F(SecretToolsTest, PreviewThatNeedsApprovalAnswersAtOnceWithoutAskingAnyone) {
  startVault();
  vault->answer("preview", VaultReply::line(R"({"decision":"needs_approval","type":"otp"})"));
  startServer();
  // call() checks that the very next line is the reply: no elicitation request comes first.
  ToolResult result = call("secret_resolve_preview", {{"ref", "varn://local/GitHub/otp"}});
  ASSERT_FALSE(result.isError) << result.text;
  EXPECT_EQ(
      Json::parse(result.text),
      (Json{{"ref", "varn://local/GitHub/otp"}, {"type", "otp"}, {"length", 0}, {"last4", ""}}));
}

TEST_F(SecretToolsTest, PreviewWithoutMetadataGivesEmptyTypeZeroLengthAndEmptyLast4) {
  startVault();
  vault->answer("preview", VaultReply::line(R"({"decision":"allowed","type":null})"));
  startServer();
  ToolResult result = call("secret_resolve_preview", {{"ref", "varn://local/My Item/password"}});
  ASSERT_FALSE(result.isError) << result.text;
  EXPECT_EQ(
      Json::parse(result.text),
      (Json{{"ref", "varn://local/My Item/password"}, {"type", ""}, {"length", 0}, {"last4", ""}}));
}

TEST_F(SecretToolsTest, RefusedPreviewFailsEvenWithMetadata) {
  startVault();
  vault->answer(
      "preview",
      VaultReply::line(R"({"decision":"refused","type":"password","length":8,"last4":"wxyz"})"));
  startServer();
  EXPECT_EQ(call("secret_resolve_preview", {{"ref", "varn://local/GitHub/password"}}),
            (ToolResult{"error: refused — varn://local/GitHub/password is ai_hidden or the vault "
                        "is locked",
                        true}));
}

TEST_F(SecretToolsTest, PreviewOfATextThatIsNoReferenceNeverReachesTheVault) {
  struct Case {
    std::string ref;
    std::string text;
  };
  const std::vector<Case> cases{
      {"https://local/GitHub/password",
       "error: ref must use the varn:// scheme, e.g. varn://local/GitHub/password"},
      {"varnh_6F1C2B0E-1111-4222-8333-444455556666",
       "error: ref must use the varn:// scheme, e.g. varn://local/GitHub/password"},
      {"varn://local/GitHub",
       "error: ref must be varn://<collection>/<item>/<field>, e.g. varn://local/GitHub/password "
       "(secret_list shows every ref)"},
      {"varn://local/GitHub/password?attribute=OTP",
       "error: unknown ref attribute 'OTP' — use type, value, or otp"},
  };
  startBoth();
  for (const Case& c : cases) {
    EXPECT_EQ(call("secret_resolve_preview", {{"ref", c.ref}}), (ToolResult{c.text, true}));
  }
  EXPECT_EQ(vault->connections(), 0u);
}

TEST_F(SecretToolsTest, PreviewReplyThatIsAnEnvelopeOrDoesNotDecodeFails) {
  startVault();
  vault->enqueue(VaultReply::errorEnvelope("locked"));
  vault->enqueue(VaultReply::line(R"({"decision":"ALLOWED"})"));
  vault->enqueue(VaultReply::line(R"({"decision":"allowed","length":12.5})"));
  vault->enqueue(VaultReply::line(R"({"decision":"allowed","length":"12"})"));
  startServer();
  for (int i = 0; i < 4; ++i) {
    ToolResult result = call("secret_resolve_preview", {{"ref", "varn://local/GitHub/password"}});
    EXPECT_TRUE(result.isError) << result.text;
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
    // The envelope is not tried for a preview: its failure is the decoder's, not the vault's text.
    EXPECT_EQ(result.text.find("upstream(\"locked\")"), std::string::npos) << result.text;
  }
}

}  // namespace
}  // namespace varn::tests
