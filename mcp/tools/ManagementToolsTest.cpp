#include "mcp/tools/ManagementTools.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/testing/ScriptedVault.hpp"

namespace varn::mcp {
namespace {

using fakes::ScriptedVault;
using support::Json;
using Op = VaultRequest::Op;

class ManagementToolsTest : public ::testing::Test {
 public:  // the table of cases below calls these from lambdas
  // Runs Tool on the arguments `json` (decoded as its input) against the scripted `reply` and
  // gives the tool's output as compact JSON.
  template <typename Tool>
  std::string run(Op op, const char* json, const char* reply) {
    vault->managementReplies[op] = Json::parse(reply);
    Tool tool{vault};
    return support::dumpCompact(support::encodeRecord(
        tool.run(support::decodeRecord<typename Tool::Input>(Json::parse(json)))));
  }
  template <typename Tool>
  std::string runList(Op op, const char* reply) {
    vault->managementReplies[op] = Json::parse(reply);
    Tool tool{vault};
    return support::dumpCompact(support::encodeRecord(tool.run()));
  }
  // The one call the vault saw, as "<op> <arguments>".
  std::string onlyCall() const {
    auto calls = vault->calls();
    if (calls.size() != 1) return std::to_string(calls.size()) + " calls";
    return std::string(toString(calls[0].op)) + " " + support::dumpCompact(calls[0].arguments);
  }

  std::shared_ptr<ScriptedVault> vault = std::make_shared<ScriptedVault>();
};

constexpr const char* kMetadata =
    R"({"id":"1","ref":"varn://local/GitHub/token","name":"GitHub","field_label":"token",)"
    R"("kind":"weird-kind","ai_access":"not-a-tier","group":"Dev"})";

TEST_F(ManagementToolsTest, SecretCreateForwardsEverythingAndNeverEchoesTheValue) {
  std::string output =
      run<SecretCreateTool>(Op::secretCreate,
                            R"({"name":"GitHub","field_label":"token","value":"fake-value",)"
                            R"("kind":"weird-kind","ai_access":"not-a-tier","allowed_hosts":[]})",
                            kMetadata);
  EXPECT_EQ(output, kMetadata);
  EXPECT_EQ(output.find("fake-value"), std::string::npos);
  EXPECT_EQ(onlyCall(),
            R"(secret_create {"name":"GitHub","value":"fake-value","kind":"weird-kind",)"
            R"("field_label":"token","ai_access":"not-a-tier","allowed_hosts":[]})");
}

TEST_F(ManagementToolsTest, SecretUpdateWithOnlyRefForwardsOnlyTheRef) {
  EXPECT_EQ(run<SecretUpdateTool>(Op::secretUpdate, R"({"ref":"not a ref"})", kMetadata),
            kMetadata);
  EXPECT_EQ(onlyCall(), R"(secret_update {"ref":"not a ref"})");
}

TEST_F(ManagementToolsTest, EachToolCallsItsOwnOperation) {
  struct Case {
    std::function<std::string(ManagementToolsTest&)> run;
    const char* call;
    const char* output;
  };
  const Case cases[] = {
      {[](auto& t) {
         return t.template run<SecretGetTool>(Op::secretGet, R"({"ref":"x"})", kMetadata);
       },
       R"(secret_get {"ref":"x"})", kMetadata},
      {[](auto& t) {
         return t.template run<SecretDeleteTool>(Op::secretDelete, R"({"ref":"x"})",
                                                 R"({"deleted":false})");
       },
       R"(secret_delete {"ref":"x"})", R"({"deleted":false})"},
      {[](auto& t) {
         return t.template runList<GroupListTool>(
             Op::groupList,
             R"({"groups":[{"id":"2","name":"b","project":"p"},{"id":"1","name":"a","project":"p"}]})");
       },
       "group_list {}",
       R"({"groups":[{"id":"2","name":"b","project":"p"},{"id":"1","name":"a","project":"p"}]})"},
      {[](auto& t) {
         return t.template run<GroupCreateTool>(
             Op::groupCreate, R"({"name":"Dev","parent":"Root"})",
             R"({"id":"g","name":"Dev","project":"Work","parent":"r"})");
       },
       R"(group_create {"name":"Dev","parent":"Root"})",
       R"({"id":"g","name":"Dev","project":"Work","parent":"r"})"},
      {[](auto& t) {
         return t.template run<GroupGetTool>(Op::groupGet, R"({"group":"Dev","grup":"x"})",
                                             R"({"id":"g","name":"Dev","project":"Work"})");
       },
       R"(group_get {"group":"Dev"})", R"({"id":"g","name":"Dev","project":"Work"})"},
      {[](auto& t) {
         return t.template run<GroupUpdateTool>(Op::groupUpdate, R"({"group":"Dev","name":"Ops"})",
                                                R"({"id":"g","name":"Ops","project":"Work"})");
       },
       R"(group_update {"name":"Ops","group":"Dev"})",
       R"({"id":"g","name":"Ops","project":"Work"})"},
      {[](auto& t) {
         return t.template run<GroupDeleteTool>(Op::groupDelete, R"({"group":"Dev"})",
                                                R"({"deleted":true})");
       },
       R"(group_delete {"group":"Dev"})", R"({"deleted":true})"},
      {[](auto& t) {
         return t.template runList<ProjectListTool>(Op::projectList,
                                                    R"({"projects":[{"id":"p","name":"Work"}]})");
       },
       "project_list {}", R"({"projects":[{"id":"p","name":"Work"}]})"},
      {[](auto& t) {
         return t.template run<ProjectCreateTool>(Op::projectCreate, R"({"name":"Work"})",
                                                  R"({"id":"p","name":"Work"})");
       },
       R"(project_create {"name":"Work"})", R"({"id":"p","name":"Work"})"},
      {[](auto& t) {
         return t.template run<ProjectGetTool>(Op::projectGet, R"({"project":"p"})",
                                               R"({"id":"p","name":"Work"})");
       },
       R"(project_get {"project":"p"})", R"({"id":"p","name":"Work"})"},
      {[](auto& t) {
         return t.template run<ProjectUpdateTool>(Op::projectUpdate, R"({"project":"p","name":""})",
                                                  R"({"id":"p","name":""})");
       },
       R"(project_update {"name":"","project":"p"})", R"({"id":"p","name":""})"},
      {[](auto& t) {
         return t.template run<ProjectDeleteTool>(Op::projectDelete, R"({"project":"p"})",
                                                  R"({"deleted":true})");
       },
       R"(project_delete {"project":"p"})", R"({"deleted":true})"},
  };
  for (const Case& c : cases) {
    vault = std::make_shared<ScriptedVault>();
    EXPECT_EQ(c.run(*this), c.output) << c.call;
    EXPECT_EQ(onlyCall(), c.call);
  }
}

TEST_F(ManagementToolsTest, VaultErrorsPassThroughUnchanged) {
  vault->failAfter = 0;
  vault->failure = ToolError::upstream("group not found: Dev");
  GroupGetTool tool{vault};
  try {
    (void)tool.run({"Dev"});
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("group not found: Dev"));
  }
}

TEST_F(ManagementToolsTest, MalformedReplyFailsWithTheDecodersError) {
  vault->managementReplies[Op::projectGet] = Json::parse(R"({"id":"p"})");
  ProjectGetTool tool{vault};
  try {
    (void)tool.run({"p"});
    FAIL() << "no error";
  } catch (const support::JsonDecodeError& error) {
    EXPECT_EQ(error.message(), R"(missing required key "name")");
  }
}

// A client with only the three required operations: the tools report the protocol's default.
class MinimalVault final : public VaultClient {
 public:
  VaultResponse resolve(std::string_view, bool) override { return {}; }
  VaultResponse preview(std::string_view) override { return {}; }
  std::vector<VaultListEntry> list(const std::optional<std::string>&,
                                   const std::optional<std::string>&) override {
    return {};
  }
};

TEST_F(ManagementToolsTest, MissingOperationReportsTheToolName) {
  auto minimal = std::make_shared<MinimalVault>();
  try {
    (void)SecretCreateTool{minimal}.run({"n", "f", "v", "k", "injectable"});
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("vault does not support secret_create"));
  }
  try {
    (void)ProjectListTool{minimal}.run();
    FAIL() << "no error";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("vault does not support project_list"));
  }
}

}  // namespace
}  // namespace varn::mcp
