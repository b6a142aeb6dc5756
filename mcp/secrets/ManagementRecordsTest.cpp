#include "mcp/secrets/ManagementRecords.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace varn::mcp {
namespace {

using support::Json;

// Decodes `json` as a Record, re-encodes it; gives the compact text or the error text.
template <typename Record>
std::string roundTrip(const char* json) {
  try {
    return support::dumpCompact(
        support::encodeRecord(support::decodeRecord<Record>(support::parseJsonOrThrow(json))));
  } catch (const support::JsonDecodeError& error) {
    return "error: " + error.message();
  }
}

struct RecordCase {
  std::function<std::string(const char*)> decode;
  const char* json;
  const char* expected;  // the re-encoded text, or "error: " and the decoder's text
};

// Keeps the byte dump of the case out of the test names; failures print the JSON.
void PrintTo(const RecordCase&, std::ostream* out) {
  *out << "case";
}

class ManagementRecordsTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ManagementRecordsTest, DecodesStrictlyAndEncodesInDeclarationOrder) {
  const RecordCase& c = GetParam();
  EXPECT_EQ(c.decode(c.json), c.expected) << c.json;
}

const auto secretCreate = roundTrip<SecretCreateInput>;
const auto secretUpdate = roundTrip<SecretUpdateInput>;
const auto secretGet = roundTrip<SecretGetInput>;
const auto groupCreate = roundTrip<GroupCreateInput>;
const auto groupGet = roundTrip<GroupGetInput>;
const auto projectUpdate = roundTrip<ProjectUpdateInput>;
const auto metadata = roundTrip<SecretMetadataOutput>;
const auto deleted = roundTrip<DeleteOutput>;
const auto group = roundTrip<GroupOutput>;
const auto groupList = roundTrip<GroupListOutput>;
const auto projectList = roundTrip<ProjectListOutput>;

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ManagementRecordsTest,
    ::testing::Values(
        // Inputs.
        RecordCase{
            secretCreate,
            R"({"ai_access":"injectable","kind":"k","value":"v","field_label":"f","name":"n"})",
            R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"injectable"})"},
        RecordCase{secretCreate, R"({"name":"n","field_label":"f","value":"v","kind":"k"})",
                   R"(error: missing required key "ai_access")"},
        RecordCase{secretCreate,
                   R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":null})",
                   R"(error: missing required key "ai_access")"},
        RecordCase{
            secretCreate,
            R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"anything"})",
            R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"anything"})"},
        RecordCase{secretCreate,
                   R"({"allowed_commands":["ls"],"allowed_hosts":[],"url":"u","project":"p",)"
                   R"("group":"g","username":"","name":"n","field_label":"f","value":"v",)"
                   R"("kind":"k","ai_access":"a"})",
                   R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"a",)"
                   R"("username":"","group":"g","project":"p","url":"u","allowed_hosts":[],)"
                   R"("allowed_commands":["ls"]})"},
        RecordCase{secretCreate,
                   R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"a",)"
                   R"("allowed_hosts":null})",
                   R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"a"})"},
        RecordCase{secretCreate,
                   R"({"name":"n","field_label":"f","value":"v","kind":"k","ai_access":"a",)"
                   R"("allowed_hosts":"h"})",
                   R"(error: key "allowed_hosts" must be an array of strings)"},
        RecordCase{secretCreate, R"(["n"])", "error: arguments must be a JSON object"},
        RecordCase{secretUpdate, R"({"ref":"varn://a/b/c"})", R"({"ref":"varn://a/b/c"})"},
        RecordCase{secretUpdate, R"({"ref":"not a ref","username":"","kind":"k"})",
                   R"({"ref":"not a ref","kind":"k","username":""})"},
        RecordCase{secretUpdate, R"({"name":"n"})", R"(error: missing required key "ref")"},
        RecordCase{secretUpdate, R"({"ref":"r","value":5})",
                   R"(error: key "value" must be a string)"},
        RecordCase{secretGet, R"({"ref":1})", R"(error: key "ref" must be a string)"},
        RecordCase{groupGet, R"({"group":"g","gruop":"h"})", R"({"group":"g"})"},
        RecordCase{groupCreate, R"({"parent":"p","name":"n"})", R"({"name":"n","parent":"p"})"},
        RecordCase{projectUpdate, R"({"project":"p","name":null})", R"({"project":"p"})"},
        // Outputs.
        RecordCase{metadata,
                   R"({"id":"1","ref":"r","name":"n","field_label":"f","kind":"k",)"
                   R"("ai_access":"x","url":null})",
                   R"(error: missing required key "group")"},
        RecordCase{metadata,
                   R"({"group":"g","id":"1","ref":"r","name":"n","field_label":"f","kind":"k",)"
                   R"("ai_access":"x","url":null,"value":"dropped"})",
                   R"({"id":"1","ref":"r","name":"n","field_label":"f","kind":"k","ai_access":"x",)"
                   R"("group":"g"})"},
        RecordCase{group, R"({"id":"1","name":"n","project":"p"})",
                   R"({"id":"1","name":"n","project":"p"})"},
        RecordCase{group, R"({"id":"1","name":"n","parent":"q"})",
                   R"(error: missing required key "project")"},
        RecordCase{deleted, R"({"deleted":false})", R"({"deleted":false})"},
        RecordCase{deleted, R"({"deleted":"true"})", R"(error: key "deleted" must be a boolean)"},
        RecordCase{deleted, R"({})", R"(error: missing required key "deleted")"},
        RecordCase{groupList, R"({"groups":[]})", R"({"groups":[]})"},
        RecordCase{groupList, R"({})", R"(error: missing required key "groups")"},
        RecordCase{groupList, R"({"groups":null})", R"(error: missing required key "groups")"},
        RecordCase{groupList,
                   R"({"groups":[{"id":"1","name":"a","project":"p"},{"name":"b","project":"p"}]})",
                   R"(error: groups[1]: missing required key "id")"},
        RecordCase{groupList, R"({"groups":["a"]})",
                   "error: groups[0]: group must be a JSON object"},
        RecordCase{projectList, R"({"projects":[{"name":"b","id":"2"},{"id":"1","name":"a"}]})",
                   R"({"projects":[{"id":"2","name":"b"},{"id":"1","name":"a"}]})"},
        RecordCase{projectList, R"({"projects":{}})",
                   R"(error: key "projects" must be an array)"}));

TEST(ManagementRecordsEqualityTest, OutputsCompareFieldByField) {
  GroupOutput a{"1", "n", "p", std::nullopt};
  GroupOutput b = a;
  EXPECT_EQ(a, b);
  b.parent = "";
  EXPECT_NE(a, b);
  EXPECT_NE((GroupListOutput{{a, b}}), (GroupListOutput{{b, a}}));
  SecretMetadataOutput m{
      "1", "r", "n", "f", "k", "a", "g", std::nullopt, std::vector<std::string>{}, std::nullopt};
  SecretMetadataOutput n = m;
  n.allowed_hosts.reset();
  EXPECT_NE(m, n);
}

}  // namespace
}  // namespace varn::mcp
