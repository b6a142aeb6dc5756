#include "mcp/server/ToolDefinitions.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace varn::mcp {
namespace {

using support::Json;
using support::OrderedJson;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

OrderedJson goldenCatalogue() {
  std::ifstream file(
      std::string(VARN_SOURCE_DIR) + "/mcp/server/testing/ToolDefinitions.golden.json",
      std::ios::binary);
  EXPECT_TRUE(file) << "golden catalogue missing";
  std::stringstream text;
  text << file.rdbuf();
  return OrderedJson::parse(text.str());
}

const OrderedJson* findTool(const OrderedJson& list, const std::string& name) {
  for (const OrderedJson& definition : list) {
    if (definition.at("name") == name) return &definition;
  }
  return nullptr;
}

std::set<std::string> namesWhere(const OrderedJson& list, bool (*test)(const OrderedJson&)) {
  std::set<std::string> names;
  for (const OrderedJson& definition : list) {
    if (test(definition)) names.insert(definition.at("name").get<std::string>());
  }
  return names;
}

TEST(ToolDefinitionsTest, MatchesTheGoldenCatalogueByteForByte) {
  OrderedJson golden = goldenCatalogue();
  OrderedJson actual = toolDefinitions();
  ASSERT_EQ(actual.size(), golden.size());
  for (std::size_t i = 0; i < golden.size(); ++i) {
    SCOPED_TRACE(golden[i].at("name").get<std::string>());
    EXPECT_EQ(actual[i].at("name").get<std::string>(), golden[i].at("name").get<std::string>());
    EXPECT_EQ(actual[i].at("description").get<std::string>(),
              golden[i].at("description").get<std::string>());
    EXPECT_EQ(support::dumpCompact(actual[i].at("inputSchema")),
              support::dumpCompact(golden[i].at("inputSchema")));
  }
  // Key order included: properties follow the input records' field order.
  EXPECT_EQ(support::dumpCompact(actual), support::dumpCompact(golden));
}

// The golden file and the source could both be mangled by the same editor; these byte sequences
// pin the non-ASCII characters independently of either.
TEST(ToolDefinitionsTest, DescriptionsCarryTheirUtf8CharactersAsBytes) {
  struct Case {
    const char* tool;
    const char* fragment;
  };
  const Case cases[] = {
      {"secret_resolve_preview", "last4} \xE2\x80\x94 no value."},
      {"mint_token", "returned varnh_\xE2\x80\xA6 handle"},
      {"web_login", "username\xE2\x86\x92password\xE2\x86\x92otp"},
      {"secret_create", "pass `username` (the login/email)"},
      {"group_create", "Create an Varn group/folder."},
      {"browser_start", "(default ~5 min;"},
  };
  OrderedJson list = toolDefinitions();
  for (const Case& c : cases) {
    const OrderedJson* definition = findTool(list, c.tool);
    ASSERT_NE(definition, nullptr) << c.tool;
    EXPECT_THAT(definition->at("description").get<std::string>(), ::testing::HasSubstr(c.fragment))
        << c.tool;
  }
}

TEST(ToolDefinitionsTest, AnnouncesTwentyEightToolsFromSecretListToCredentialCapture) {
  OrderedJson list = toolDefinitions();
  ASSERT_EQ(list.size(), 28u);
  EXPECT_EQ(list.front().at("name"), "secret_list");
  EXPECT_EQ(list.back().at("name"), "credential_capture");
  std::set<std::string> names;
  for (const OrderedJson& definition : list) names.insert(definition.at("name"));
  EXPECT_EQ(names.size(), list.size()) << "tool names must be unique";
}

TEST(ToolDefinitionsTest, BrowserToolsAreTheLastEightInTheirOwnOrder) {
  OrderedJson browser = browserToolDefinitions();
  std::vector<std::string> names;
  for (const OrderedJson& definition : browser) names.push_back(definition.at("name"));
  EXPECT_THAT(names,
              ElementsAre("browser_start", "browser_stop", "browser_navigate", "browser_tabs",
                          "browser_dialog", "browser_fill", "web_login", "credential_capture"));
  OrderedJson all = toolDefinitions();
  OrderedJson tail(all.end() - 8, all.end());
  EXPECT_EQ(tail, browser);
}

TEST(ToolDefinitionsTest, EveryDefinitionHasExactlyNameDescriptionAndAnObjectSchema) {
  for (const OrderedJson& definition : toolDefinitions()) {
    SCOPED_TRACE(definition.dump());
    std::vector<std::string> keys;
    for (const auto& [key, value] : definition.items()) keys.push_back(key);
    EXPECT_THAT(keys, UnorderedElementsAreArray({"name", "description", "inputSchema"}));
    const OrderedJson& schema = definition.at("inputSchema");
    EXPECT_EQ(schema.at("type"), "object");
    EXPECT_TRUE(schema.at("properties").is_object());
    EXPECT_LE(schema.size(), 3u);
    if (schema.contains("required")) {
      const OrderedJson& required = schema.at("required");
      ASSERT_TRUE(required.is_array());
      EXPECT_FALSE(required.empty());
      for (const OrderedJson& name : required) {
        EXPECT_TRUE(schema.at("properties").contains(name.get<std::string>())) << name;
      }
    }
  }
}

TEST(ToolDefinitionsTest, OnlyFiveToolsLeaveRequiredOutAndThreeTakeNoArguments) {
  OrderedJson list = toolDefinitions();
  EXPECT_EQ(
      namesWhere(list,
                 [](const OrderedJson& d) { return !d.at("inputSchema").contains("required"); }),
      (std::set<std::string>{"secret_list", "group_list", "project_list", "browser_start",
                             "browser_stop"}));
  EXPECT_EQ(namesWhere(list,
                       [](const OrderedJson& d) {
                         const OrderedJson& properties = d.at("inputSchema").at("properties");
                         return properties.is_object() && properties.empty();
                       }),
            (std::set<std::string>{"group_list", "project_list", "browser_stop"}));
}

TEST(ToolDefinitionsTest, PropertiesUseOnlyTheSixShapesAndOnlyTheTwoActionsCarryAnEnum) {
  const std::set<std::string> plainShapes = {R"({"type":"string"})", R"({"type":"integer"})",
                                             R"({"type":"boolean"})", R"({"type":"object"})",
                                             R"({"type":"array","items":{"type":"string"}})"};
  std::vector<std::string> enums;
  for (const OrderedJson& definition : toolDefinitions()) {
    const std::string tool = definition.at("name");
    for (const auto& [name, shape] : definition.at("inputSchema").at("properties").items()) {
      EXPECT_FALSE(shape.contains("description")) << tool << "." << name;
      if (shape.contains("enum")) {
        enums.push_back(tool + "." + name + "=" + support::dumpCompact(shape));
      } else {
        EXPECT_EQ(plainShapes.count(support::dumpCompact(shape)), 1u) << tool << "." << name;
      }
    }
  }
  EXPECT_THAT(
      enums,
      ElementsAre(R"(browser_tabs.action={"type":"string","enum":["list","activate","close"]})",
                  R"(browser_dialog.action={"type":"string","enum":["accept","dismiss"]})"));
}

TEST(ToolDefinitionsTest, MapArgumentsAreBareObjects) {
  OrderedJson list = toolDefinitions();
  EXPECT_EQ(findTool(list, "http_call")->at("inputSchema").at("properties").at("headers"),
            OrderedJson({{"type", "object"}}));
  EXPECT_EQ(findTool(list, "run_command")->at("inputSchema").at("properties").at("env_refs"),
            OrderedJson({{"type", "object"}}));
}

TEST(ToolDefinitionsTest, TwoCallsGiveEqualLists) {
  EXPECT_EQ(toolDefinitions(), toolDefinitions());
  EXPECT_EQ(support::dumpCompact(toolDefinitions()), support::dumpCompact(toolDefinitions()));
}

TEST(ToolDefinitionsTest, SchemaBuilderWritesRequiredOnlyWhenNonEmpty) {
  EXPECT_EQ(support::dumpCompact(objectSchema(OrderedJson::object(), {})),
            R"({"type":"object","properties":{}})");
  OrderedJson properties = {{"b", {{"type", "string"}}}, {"a", {{"type", "integer"}}}};
  EXPECT_EQ(support::dumpCompact(objectSchema(properties, {"b", "a"})),
            R"({"type":"object","properties":{"b":{"type":"string"},"a":{"type":"integer"}},)"
            R"("required":["b","a"]})");
}

// --- the contract of a tool ------------------------------------------------------------------

struct NoteInput {
  std::string text;
};
VARN_JSON_RECORD(NoteInput, "arguments", VARN_JSON_FIELD(text));

struct NoteOutput {
  std::int64_t length = 0;
};
VARN_JSON_RECORD(NoteOutput, "output", VARN_JSON_FIELD(length));

// A tool that keeps the contract, with input and named by its row, and one without either.
struct NoteTool {
  using Input = NoteInput;
  using Output = NoteOutput;
  NoteTool(const ToolServices&, std::string) {}
  Output run(const Input& input) const { return {static_cast<std::int64_t>(input.text.size())}; }
};
struct PlainTool {
  using Output = NoteOutput;
  explicit PlainTool(const ToolServices&) {}
  Output run() const { return {}; }
};
// The mistakes: no Output; an Output that is no record; an Input with only run(); run taking
// another input, not const, or returning something else; no constructor from the services.
struct NoOutput {
  explicit NoOutput(const ToolServices&) {}
  NoteOutput run() const { return {}; }
};
struct OutputNotARecord : PlainTool {
  using PlainTool::PlainTool;
  using Output = std::string;
  Output run() const { return {}; }
};
struct RunWithoutInput : PlainTool {
  using PlainTool::PlainTool;
  using Input = NoteInput;
};
struct RunOnAnotherInput : NoteTool {
  using NoteTool::NoteTool;
  Output run(const std::string&) const { return {}; }
};
struct RunNotConst : PlainTool {
  using PlainTool::PlainTool;
  Output run() { return {}; }
};
struct RunReturnsAnother : PlainTool {
  using PlainTool::PlainTool;
  NoteInput run() const { return {}; }
};
struct NoServicesConstructor : PlainTool {
  NoServicesConstructor() : PlainTool(ToolServices{}) {}
};

static_assert(Tool<NoteTool> && Tool<PlainTool>);
static_assert(!Tool<NoOutput> && !Tool<OutputNotARecord>);
static_assert(!Tool<RunWithoutInput> && !Tool<RunOnAnotherInput> && !Tool<RunNotConst> &&
              !Tool<RunReturnsAnother>);
static_assert(!Tool<NoServicesConstructor>);

TEST(RecordToolTest, DecodesTheInputAndEncodesTheOutput) {
  Json args = {{"text", "four"}, {"other", 1}};
  EXPECT_EQ(RecordTool<NoteTool>({}, "note").run(args), R"({"length":4})");
  EXPECT_TRUE(args.is_null()) << "the arguments are freed once decoded";
}

// A coder that cannot write its value, as an output the JSON text cannot hold.
struct RefusingCoder {
  static OrderedJson encode(std::int64_t) { throw std::runtime_error("cannot encode 1234"); }
  static std::int64_t decode(const Json&, std::string_view) { return 0; }
};
struct UnencodableOutput {
  std::int64_t secret = 1234;
};
VARN_JSON_RECORD(UnencodableOutput, "output", VARN_JSON_FIELD(secret).coded<RefusingCoder>());

TEST(RecordToolTest, AnOutputThatCannotBeEncodedIsAnUpstreamErrorNotASuccess) {
  struct UnencodableTool {
    using Output = UnencodableOutput;
    explicit UnencodableTool(const ToolServices&) {}
    Output run() const { return {}; }
  };
  Json args = Json::object();
  try {
    (void)RecordTool<UnencodableTool>({}, "t").run(args);
    ADD_FAILURE() << "an output that cannot be encoded was answered as a success";
  } catch (const ToolError& error) {
    EXPECT_EQ(error, ToolError::upstream("the tool's output could not be encoded as JSON"));
  }
}

}  // namespace
}  // namespace varn::mcp
