// The fourteen management tools and credential_capture end to end: the request exactly as it
// reaches the vault socket, and the tool result made from the vault's reply.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

// The secret value of the create and update cases; it travels to the vault and must never come
// back.
const char* const kValue = "hunter2-Sx9/k\\q\"value";
const char* const kValueInJson = R"(hunter2-Sx9/k\\q\"value)";
const char* const kValueOnWire = R"(hunter2-Sx9\/k\\q\"value)";

struct ManagementCase {
  std::string name;  // test name
  std::string tool;
  std::string arguments;  // JSON text; "@VALUE@" stands for kValue inside a JSON string
  std::string request;    // the exact request line; "@VALUE@" stands for kValue as written
  std::string reply;      // the vault's reply line
  std::string output;     // the tool's output, as JSON (compared as JSON)
};

std::string withValue(std::string text, const std::string& value) {
  for (std::size_t at = text.find("@VALUE@"); at != std::string::npos;
       at = text.find("@VALUE@", at + value.size())) {
    text.replace(at, 7, value);
  }
  return text;
}

const char* const kMetadata =
    R"({"id":"4D3C","ref":"varn://Work/GitHub/password","name":"GitHub","field_label":"password",)"
    R"("kind":"password","ai_access":"injectable","group":"Work","url":"https://github.com/login",)"
    R"("allowed_hosts":["api.github.com"],"allowed_commands":["/usr/bin/git push"]})";

const std::vector<ManagementCase>& cases() {
  static const std::vector<ManagementCase> all{
      {"SecretCreateWithEveryField", "secret_create",
       R"({"name":"GitHub","field_label":"password","value":"@VALUE@","kind":"password",)"
       R"("ai_access":"injectable","username":"octo@example.com","group":"Work","project":"Acme",)"
       R"("url":"https://github.com/login","allowed_hosts":["api.github.com"],)"
       R"("allowed_commands":["/usr/bin/git push"]})",
       R"({"op":"secret_create","name":"GitHub","value":"@VALUE@","kind":"password",)"
       R"("username":"octo@example.com","group":"Work","project":"Acme",)"
       R"("url":"https:\/\/github.com\/login","field_label":"password","ai_access":"injectable",)"
       R"("allowed_hosts":["api.github.com"],"allowed_commands":["\/usr\/bin\/git push"]})",
       kMetadata, kMetadata},
      {"SecretCreateWithRequiredFieldsOnly", "secret_create",
       R"({"name":"n","field_label":"f","value":"@VALUE@","kind":"k","ai_access":"any text",)"
       R"("colour":"blue","group":null})",
       R"({"op":"secret_create","name":"n","value":"@VALUE@","kind":"k","field_label":"f",)"
       R"("ai_access":"any text"})",
       R"({"id":"1","ref":"varn://Personal/n/f","name":"n","field_label":"f","kind":"k",)"
       R"("ai_access":"any text","group":"Personal","url":null,"extra":1})",
       R"({"id":"1","ref":"varn://Personal/n/f","name":"n","field_label":"f","kind":"k",)"
       R"("ai_access":"any text","group":"Personal"})"},
      {"SecretGet", "secret_get", R"({"ref":"varn://Work/GitHub/password"})",
       R"({"op":"secret_get","ref":"varn:\/\/Work\/GitHub\/password"})", kMetadata, kMetadata},
      {"SecretGetForwardsATextThatIsNoReference", "secret_get", R"({"ref":"not a ref"})",
       R"({"op":"secret_get","ref":"not a ref"})", kMetadata, kMetadata},
      {"SecretUpdateWithOnlyRef", "secret_update", R"({"ref":"varn://Work/GitHub/password"})",
       R"({"op":"secret_update","ref":"varn:\/\/Work\/GitHub\/password"})", kMetadata, kMetadata},
      {"SecretUpdateSendsEmptyTextsAndListsAndEscapes", "secret_update",
       R"({"ref":"r","name":"Line\nTwo \"q\" Café ☕","value":"@VALUE@","username":"",)"
       R"("allowed_hosts":[],"group":null})",
       R"({"op":"secret_update","ref":"r","name":"Line\nTwo \"q\" Café ☕","value":"@VALUE@",)"
       R"("username":"","allowed_hosts":[]})",
       kMetadata, kMetadata},
      {"SecretDeleteReturnsDeletedFalse", "secret_delete", R"({"ref":"varn://Work/Old/password"})",
       R"({"op":"secret_delete","ref":"varn:\/\/Work\/Old\/password"})", R"({"deleted":false})",
       R"({"deleted":false})"},
      {"GroupListIgnoresItsArguments", "group_list", R"({"project":"Acme","x":[1,{"y":null}]})",
       R"({"op":"group_list"})",
       R"({"groups":[{"id":"g1","name":"Work","project":"Acme"},)"
       R"({"id":"g2","name":"Sub","project":"Acme","parent":"g1"}]})",
       R"({"groups":[{"id":"g1","name":"Work","project":"Acme"},)"
       R"({"id":"g2","name":"Sub","project":"Acme","parent":"g1"}]})"},
      {"GroupCreateWithProjectAndParent", "group_create",
       R"({"name":"Sub","project":"Acme","parent":"Work"})",
       R"({"op":"group_create","name":"Sub","project":"Acme","parent":"Work"})",
       R"({"id":"g2","name":"Sub","project":"Acme","parent":"g1"})",
       R"({"id":"g2","name":"Sub","project":"Acme","parent":"g1"})"},
      {"GroupCreateWithNameOnly", "group_create", R"({"name":"Top"})",
       R"({"op":"group_create","name":"Top"})", R"({"id":"g3","name":"Top","project":"Personal"})",
       R"({"id":"g3","name":"Top","project":"Personal"})"},
      {"GroupGetDropsUnknownKeys", "group_get", R"({"group":"Work","grup":"typo"})",
       R"({"op":"group_get","group":"Work"})", R"({"id":"g1","name":"Work","project":"Acme"})",
       R"({"id":"g1","name":"Work","project":"Acme"})"},
      {"GroupUpdate", "group_update", R"({"group":"Work","name":"Job"})",
       R"({"op":"group_update","name":"Job","group":"Work"})",
       R"({"id":"g1","name":"Job","project":"Acme"})",
       R"({"id":"g1","name":"Job","project":"Acme"})"},
      {"GroupDelete", "group_delete", R"({"group":"Old"})",
       R"({"op":"group_delete","group":"Old"})", R"({"deleted":true})", R"({"deleted":true})"},
      {"ProjectList", "project_list", "{}", R"({"op":"project_list"})",
       R"({"projects":[{"id":"p1","name":"Personal"},{"id":"p2","name":"Acme"}]})",
       R"({"projects":[{"id":"p1","name":"Personal"},{"id":"p2","name":"Acme"}]})"},
      {"ProjectCreate", "project_create", R"({"name":"Acme/EU"})",
       R"({"op":"project_create","name":"Acme\/EU"})", R"({"id":"p3","name":"Acme/EU"})",
       R"({"id":"p3","name":"Acme/EU"})"},
      {"ProjectGet", "project_get", R"({"project":"Acme"})",
       R"({"op":"project_get","project":"Acme"})", R"({"id":"p2","name":"Acme"})",
       R"({"id":"p2","name":"Acme"})"},
      {"ProjectUpdate", "project_update", R"({"project":"Acme","name":"Acme Ltd"})",
       R"({"op":"project_update","name":"Acme Ltd","project":"Acme"})",
       R"({"id":"p2","name":"Acme Ltd"})", R"({"id":"p2","name":"Acme Ltd"})"},
      {"ProjectDelete", "project_delete", R"({"project":"Acme"})",
       R"({"op":"project_delete","project":"Acme"})", R"({"deleted":true})", R"({"deleted":true})"},
  };
  return all;
}

// Failure output names the case, nothing more.
void PrintTo(const ManagementCase& c, std::ostream* out) {
  *out << c.name;
}

class ManagementToolTest : public ServerTest, public testing::WithParamInterface<ManagementCase> {};

TEST_P(ManagementToolTest, RequestOnTheSocketAndResult) {
  const ManagementCase& c = GetParam();
  leaks.secret(kValue);
  startVault();
  vault->answer(c.tool, VaultReply::line(c.reply));
  startServer();

  ToolResult result = call(c.tool, Json::parse(withValue(c.arguments, kValueInJson)));

  std::vector<RecordedRequest> requests = vault->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(leaks.redact(requests[0].line), leaks.redact(withValue(c.request, kValueOnWire)));
  EXPECT_TRUE(requests[0].endedWithNewline);
  if (c.arguments.find("@VALUE@") != std::string::npos) {
    std::optional<Json> sent = support::parseJson(requests[0].line);
    EXPECT_TRUE(sent && sent->value("value", "") == kValue)
        << "the value did not reach the vault unchanged";
  }
  ASSERT_FALSE(result.isError) << leaks.redact(result.text);
  std::optional<Json> output = support::parseJson(result.text);
  ASSERT_TRUE(output) << leaks.redact(result.text);
  EXPECT_EQ(*output, Json::parse(c.output)) << leaks.redact(result.text);
  EXPECT_EQ(result.text.find("null"), std::string::npos) << "an absent field written as null";
}

INSTANTIATE_TEST_SUITE_P(AllFourteen, ManagementToolTest, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<ManagementCase>& param) {
                           return param.param.name;
                         });

// Minimal valid arguments of each management tool.
const std::vector<std::pair<std::string, std::string>>& minimalCalls() {
  static const std::vector<std::pair<std::string, std::string>> all{
      {"secret_create",
       R"({"name":"n","field_label":"f","value":"@VALUE@","kind":"k","ai_access":"injectable"})"},
      {"secret_get", R"({"ref":"r"})"},
      {"secret_update", R"({"ref":"r","value":"@VALUE@"})"},
      {"secret_delete", R"({"ref":"r"})"},
      {"group_list", "{}"},
      {"group_create", R"({"name":"g"})"},
      {"group_get", R"({"group":"g"})"},
      {"group_update", R"({"group":"g"})"},
      {"group_delete", R"({"group":"g"})"},
      {"project_list", "{}"},
      {"project_create", R"({"name":"p"})"},
      {"project_get", R"({"project":"p"})"},
      {"project_update", R"({"project":"p"})"},
      {"project_delete", R"({"project":"p"})"},
  };
  return all;
}

using ManagementErrorTest = ServerTest;

// The envelope wins even over a reply that also carries the expected record; its text comes back
// in the printed form of the upstream error, every escape included.
TEST_F(ManagementErrorTest, ErrorEnvelopeFailsEveryToolWithTheVaultsText) {
  leaks.secret(kValue);
  startVault();
  std::string text =
      std::string("vault is \"locked\"\n\ttry 'again' \\ later\r nul:") + '\0' + "end — ok/done";
  const std::string expected =
      R"(error: upstream("vault is \"locked\"\n\ttry \'again\' \\ later\r nul:\0end — ok/done"))";
  std::string envelope = support::dumpCompact(
      Json{{"error", text}, {"deleted", true}, {"groups", Json::array()}, {"id", "x"}});
  for (const auto& [tool, arguments] : minimalCalls()) {
    vault->answer(tool, VaultReply::line(envelope));
  }
  startServer();
  for (const auto& [tool, arguments] : minimalCalls()) {
    ToolResult result = call(tool, Json::parse(withValue(arguments, kValueInJson)));
    EXPECT_EQ(leaks.redact(result.text), expected) << tool;
    EXPECT_TRUE(result.isError) << tool;
  }
  EXPECT_EQ(vault->requests().size(), minimalCalls().size());
}

TEST_F(ManagementErrorTest, EnvelopeWhoseErrorIsNotTextIsDecodedAsTheReply) {
  startVault();
  vault->answer("secret_delete", VaultReply::line(R"({"error":null,"deleted":true})"));
  vault->answer("group_delete", VaultReply::line(R"({"error":42,"deleted":false})"));
  startServer();
  EXPECT_EQ(call("secret_delete", {{"ref", "r"}}), (ToolResult{R"({"deleted":true})", false}));
  EXPECT_EQ(call("group_delete", {{"group", "g"}}), (ToolResult{R"({"deleted":false})", false}));
}

TEST_F(ManagementErrorTest, ArgumentsThatDoNotDecodeNeverReachTheVault) {
  startVault();
  startServer();
  const std::vector<std::pair<std::string, Json>> calls{
      {"secret_get", nullptr},
      {"secret_get", Json("varn://a/b/c")},
      {"secret_get", {{"ref", 5}}},
      {"secret_get", {{"ref", nullptr}}},
      {"secret_create", {{"name", "n"}, {"field_label", "f"}, {"value", "v"}, {"kind", "k"}}},
      {"secret_update", {{"ref", "r"}, {"allowed_hosts", "api.example.com"}}},
      {"secret_update", {{"ref", "r"}, {"allowed_hosts", {1}}}},
      {"group_create", {{"name", "g"}, {"parent", false}}},
      {"project_update", {{"name", "p"}}},
  };
  for (const auto& [tool, arguments] : calls) {
    ToolResult result = call(tool, arguments);
    EXPECT_TRUE(result.isError) << tool << " " << arguments.dump();
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
  }
  EXPECT_EQ(vault->connections(), 0u);
}

// credential_capture hands its origin to the vault application, which shows it to the human: only
// a plain web origin gets there, unchanged.
TEST_F(ManagementErrorTest, CredentialCaptureSendsOnlyAWebOriginToTheVault) {
  startVault();
  vault->answer("capture", VaultReply::line(kMetadata));
  startServer();
  const std::vector<std::string> accepted{"https://github.com", "http://127.0.0.1:8080",
                                          "HTTPS://Login.Example.COM:443", "https://[::1]:65535",
                                          "https://" + std::string(253, 'a')};
  for (const std::string& origin : accepted) {
    ToolResult result = call("credential_capture", {{"origin", origin}});
    EXPECT_EQ(result,
              (ToolResult{R"({"ref":"varn://Work/GitHub/password","name":"GitHub"})", false}))
        << origin;
  }
  std::vector<RecordedRequest> requests = vault->requests();
  ASSERT_EQ(requests.size(), accepted.size());
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    EXPECT_EQ(Json::parse(requests[i].line), (Json{{"op", "capture"}, {"url", accepted[i]}}));
  }

  const std::vector<std::string> refused{"javascript:alert(1)",
                                         "data:text/html,<b>x</b>",
                                         "",
                                         "https://" + std::string(100'000, 'a'),
                                         "https://a.com\nApprove everything",
                                         "https://a.com/",
                                         "https://a.com/login",
                                         "https://a.com?next=x",
                                         "https://a.com#x",
                                         "https://user:pw@a.com",
                                         "https://a.com:",
                                         "https://a.com:0",
                                         "https://a.com:65536",
                                         "https://a.com:080",
                                         "ftp://a.com",
                                         "https://",
                                         "https:a.com",
                                         "//a.com",
                                         " https://a.com",
                                         "https://a%2ecom",
                                         "https://a!b.com",
                                         "https://a.com\x01",
                                         "https://...",
                                         "https://-",
                                         "https://a-.com",
                                         "https://a..com",
                                         "https://a.com.",
                                         "https://a_b.com",
                                         "https://[v1.x]",
                                         "https://[fe80::1%25eth0]",
                                         "https://" + std::string(300, 'a')};
  for (const std::string& origin : refused) {
    EXPECT_EQ(call("credential_capture", {{"origin", origin}, {"name", "N"}}),
              (ToolResult{"error: invalidArguments(\"origin must be an http or https origin — "
                          "scheme, host and optional port only, like https://example.com:8443\")",
                          true}))
        << origin.substr(0, 40);
  }
  EXPECT_EQ(vault->requests().size(), accepted.size()) << "a refused origin reached the vault";
}

// A secret value may be longer than any other argument and reaches the vault unchanged; a
// reference that long is refused before the vault is asked.
TEST_F(ManagementErrorTest, ALargeValueReachesTheVaultAndAnOverlongReferenceIsRefused) {
  const std::string value(1 << 20, 'v');
  startVault();
  vault->answer("secret_create", VaultReply::line(kMetadata));
  startServer();
  ToolResult created = call("secret_create", {{"name", "n"},
                                              {"field_label", "f"},
                                              {"value", value},
                                              {"kind", "k"},
                                              {"ai_access", "injectable"}});
  EXPECT_FALSE(created.isError) << created.text;
  std::vector<RecordedRequest> requests = vault->requests();
  ASSERT_EQ(requests.size(), 1u);
  std::optional<Json> sent = support::parseJson(requests[0].line);
  EXPECT_TRUE(sent && sent->value("value", "") == value) << "the value did not arrive unchanged";

  EXPECT_EQ(call("secret_get", {{"ref", "varn://a/b/" + std::string(200'000, 'c')}}),
            (ToolResult{"error: invalidArguments(\"argument ref holds a text longer than 131072 "
                        "bytes — only a secret value or an http_call body may be longer\")",
                        true}));
  EXPECT_EQ(vault->connections(), 1u);
}

TEST_F(ManagementErrorTest, ReplyThatDoesNotDecodeIsAnError) {
  startVault();
  // Metadata without "group"; a group without "project"; "deleted" as text; a list element
  // without "id".
  vault->answer("secret_get",
                VaultReply::line(R"({"id":"1","ref":"r","name":"n","field_label":"f",)"
                                 R"("kind":"k","ai_access":"injectable"})"));
  vault->answer("group_get", VaultReply::line(R"({"id":"g","name":"g"})"));
  vault->answer("secret_delete", VaultReply::line(R"({"deleted":"true"})"));
  vault->answer("project_list",
                VaultReply::line(R"({"projects":[{"id":"p","name":"a"},{"name":"b"}]})"));
  vault->answer("group_list", VaultReply::line(R"({"groups":null})"));
  startServer();
  const std::vector<std::pair<std::string, Json>> calls{
      {"secret_get", {{"ref", "r"}}},    {"group_get", {{"group", "g"}}},
      {"secret_delete", {{"ref", "r"}}}, {"project_list", nullptr},
      {"group_list", nullptr},
  };
  for (const auto& [tool, arguments] : calls) {
    ToolResult result = call(tool, arguments);
    EXPECT_TRUE(result.isError) << tool << ": " << result.text;
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
    EXPECT_EQ(result.text.rfind("error: upstream(", 0), std::string::npos)
        << "a decoding error is not the vault's error: " << result.text;
  }
}

}  // namespace
}  // namespace varn::tests
