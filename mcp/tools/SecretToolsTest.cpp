#include "mcp/tools/SecretTools.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mcp/secrets/ResolveError.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VarnRef.hpp"
#include "mcp/secrets/testing/ScriptedVault.hpp"

namespace varn::mcp {
namespace {

using fakes::ScriptedVault;
using support::Json;

std::string argumentsOf(const ScriptedVault::Call& call) {
  return support::dumpCompact(call.arguments);
}

class SecretListAndPreviewTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScriptedVault> vault = std::make_shared<ScriptedVault>();
  SecretListTool list{vault};
  SecretPreviewTool preview{vault};
};

TEST_F(SecretListAndPreviewTest, ListWithoutArgumentsAsksForEverything) {
  auto input = support::decodeRecord<SecretListInput>(
      Json::parse(R"({"collection":null,"query":null,"x":1})"));
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(list.run(input))), R"({"items":[]})");
  auto calls = vault->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, VaultRequest::Op::list);
  EXPECT_EQ(argumentsOf(calls[0]), "{}");
}

TEST_F(SecretListAndPreviewTest, ListPassesCollectionAndQueryUnchanged) {
  auto input =
      support::decodeRecord<SecretListInput>(Json::parse(R"({"collection":"","query":" Git "})"));
  (void)list.run(input);
  EXPECT_EQ(argumentsOf(vault->calls().at(0)), R"({"collection":"","query":" Git "})");
}

TEST_F(SecretListAndPreviewTest, ListKeepsTheVaultsOrderAndDuplicatesAndShowsTierTexts) {
  vault->listReply = {{"varn://b/x/y", "B", "login", AIAccess::humanGated},
                      {"varn://a/x/y", "A", "api_key", AIAccess::injectable},
                      {"varn://b/x/y", "B", "login", AIAccess::aiHidden}};
  SecretListOutput output = list.run({});
  EXPECT_EQ(output, (SecretListOutput{{{"varn://b/x/y", "B", "login", "human_gated"},
                                       {"varn://a/x/y", "A", "api_key", "injectable"},
                                       {"varn://b/x/y", "B", "login", "ai_hidden"}}}));
  EXPECT_EQ(support::dumpCompact(support::encodeRecord(output.items[0])),
            R"({"ref":"varn://b/x/y","name":"B","type":"login","ai_access":"human_gated"})");
}

TEST_F(SecretListAndPreviewTest, ListFailsWithTheVaultsErrorUnchanged) {
  vault->failAfter = 0;
  vault->failure = ToolError::upstream("the Varn app isn't running");
  try {
    (void)list.run({});
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("the Varn app isn't running"));
  }
}

TEST_F(SecretListAndPreviewTest, PreviewOfAMalformedReferenceNeverReachesTheVault) {
  for (const char* ref : {"https://local/GitHub/password", "varn://local/GitHub", "",
                          "varn://local/GitHub/password?attribute=secret"}) {
    EXPECT_THROW((void)preview.run({ref}), VarnRefError) << ref;
  }
  EXPECT_TRUE(vault->calls().empty());
}

TEST_F(SecretListAndPreviewTest, PreviewGivesTheMaskedDescriptorAndDropsAnyValue) {
  const std::string ref = "varn://local/Git%20Hub/token?attribute=type";
  VaultResponse reply{VaultDecision::allowed,
                      AIAccess::injectable,
                      "ghp_fakeValueForTest",
                      "api_key",
                      40,
                      "TEST",
                      "https://github.com",
                      std::vector<std::string>{"api.github.com"},
                      std::nullopt};
  vault->previewReplies.push_back(reply);
  SecretPreviewOutput output = preview.run({ref});
  EXPECT_EQ(output, (SecretPreviewOutput{ref, "api_key", 40, "TEST"}));
  std::string text = support::dumpCompact(support::encodeRecord(output));
  EXPECT_EQ(text.find("ghp_fakeValueForTest"), std::string::npos);
  EXPECT_EQ(text, R"({"ref":"varn://local/Git%20Hub/token?attribute=type","type":"api_key",)"
                  R"("length":40,"last4":"TEST"})");
  auto calls = vault->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, VaultRequest::Op::preview);
  EXPECT_EQ(argumentsOf(calls[0]), R"({"ref":"varn://local/Git%20Hub/token?attribute=type"})");
}

TEST_F(SecretListAndPreviewTest, PreviewNeedingApprovalAnswersAtOnceWithDefaults) {
  vault->previewReplies.push_back(VaultResponse{.decision = VaultDecision::needsApproval});
  EXPECT_EQ(preview.run({"varn://local/GitHub/password"}),
            (SecretPreviewOutput{"varn://local/GitHub/password", "", 0, ""}));
  // One preview, no resolve: nobody was asked for approval.
  EXPECT_EQ(vault->calls().size(), 1u);
}

TEST_F(SecretListAndPreviewTest, RefusedPreviewFailsEvenWithMetadata) {
  VaultResponse reply{.decision = VaultDecision::refused};
  reply.type = "password";
  reply.length = 8;
  reply.last4 = "abcd";
  vault->previewReplies.push_back(reply);
  try {
    (void)preview.run({"varn://local/GitHub/password"});
    FAIL() << "no error";
  } catch (const ResolveError& error) {
    EXPECT_EQ(error, ResolveError::refused("varn://local/GitHub/password"));
  }
}

TEST_F(SecretListAndPreviewTest, PreviewInputNeedsATextRef) {
  EXPECT_EQ(support::decodeRecord<SecretPreviewInput>(Json::parse(R"({"ref":"r","other":1})")).ref,
            "r");
  for (const char* json : {R"({})", R"({"ref":null})", R"({"ref":5})"}) {
    EXPECT_THROW((void)support::decodeRecord<SecretPreviewInput>(Json::parse(json)),
                 support::JsonDecodeError)
        << json;
  }
}

}  // namespace
}  // namespace varn::mcp
