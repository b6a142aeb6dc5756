#include "mcp/server/MCPServer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "mcp/browser/testing/ScriptedController.hpp"
#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/Elicitor.hpp"
#include "mcp/secrets/KillSwitch.hpp"
#include "mcp/secrets/RateLimiter.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/server/MCPTools.hpp"
#include "mcp/server/ToolDefinitions.hpp"
#include "mcp/tools/HTTPTransport.hpp"
#include "support/Json.hpp"

namespace varn::mcp {
namespace {

using namespace std::chrono_literals;
using support::Json;

// Only reached when the behaviour under test is broken.
constexpr auto kBound = 10s;
// A wait that the test expects to run out.
constexpr auto kBrief = 100ms;

// A vault that records which operations were called and answers from fixed records. getSecret of
// the reference "slow" waits until getSecret of "fast" has arrived, so a test can hold one call
// open while later lines are handled.
class RecordingVault final : public VaultClient {
 public:
  VaultResponse resolve(std::string_view, bool) override {
    return record("resolve", VaultResponse{});
  }
  VaultResponse preview(std::string_view) override { return record("preview", VaultResponse{}); }
  std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                   const std::optional<std::string>& query) override {
    record("list collection=" + collection.value_or("<absent>") +
               " query=" + query.value_or("<absent>"),
           0);
    return {
        VaultListEntry{"varn://local/GitHub/password", "GitHub", "password", AIAccess::injectable}};
  }
  Json manage(const VaultRequest& request) override {
    switch (request.op) {
      case VaultRequest::Op::secretGet:
        return reply(getSecret(request.ref.value_or("")));
      case VaultRequest::Op::secretDelete:
        record("delete", 0);
        throw ToolError::upstream("vault said \"no\"\nline 2\tit's\\gone");
      case VaultRequest::Op::groupList:
        record("group_list", 0);
        return reply(GroupListOutput{{GroupOutput{"g1", "Ops", "p1", std::nullopt}}});
      default:
        return VaultClient::manage(request);
    }
  }

  std::shared_ptr<ElicitationCoordinator> coordinator;

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  template <typename Record>
  static Json reply(const Record& record) {
    return Json::parse(support::dumpCompact(support::encodeRecord(record)));
  }

  SecretMetadataOutput getSecret(const std::string& ref) {
    record("get " + ref, 0);
    if (ref == "await-approval" || ref == "await-approval-briefly") {
      // Stands in for the resolve road: the answer must come in through a later input line.
      const auto timeout = ref == "await-approval" ? kBound : kBrief;
      const std::string action = coordinator->wait("elicit-T", timeout).action;
      return SecretMetadataOutput{"id-1",       ref, action,       "password",   "password",
                                  "injectable", "",  std::nullopt, std::nullopt, std::nullopt};
    }
    if (ref == "fast") {
      std::lock_guard lock(mutex_);
      fastArrived_ = true;
      cv_.notify_all();
    }
    SecretMetadataOutput output{"id-1",       ref, "GitHub",     "password",   "password",
                                "injectable", "",  std::nullopt, std::nullopt, std::nullopt};
    if (ref == "slow") {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, kBound, [this] { return fastArrived_; }))
        output.name = "waited in vain";
    }
    return output;
  }

  template <typename T>
  T record(std::string call, T result) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    return result;
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool fastArrived_ = false;
  std::vector<std::string> calls_;
};

class RefusingElicitor final : public Elicitor {
 public:
  bool requestApproval(const std::string&, const std::string&) override { return false; }
};

class MCPServerTest : public ::testing::Test {
 protected:
  std::shared_ptr<ElicitationCoordinator> coordinator = std::make_shared<ElicitationCoordinator>();
  std::shared_ptr<RecordingVault> vault = [this] {
    auto made = std::make_shared<RecordingVault>();
    made->coordinator = coordinator;
    return made;
  }();
  MCPServer server{tableOver(vault), vault, coordinator};

  // The tools over `vault` (and `browser`, when given); the resolve road refuses every approval (no
  // test here asks for one).
  static MCPTools tableOver(const std::shared_ptr<VaultClient>& over,
                            std::shared_ptr<BrowserController> browser = nullptr) {
    ToolServices services;
    services.vault = over;
    services.tokens = std::make_shared<TokenVault>();
    services.resolver = std::make_shared<ResolveService>(
        over, std::make_shared<RefusingElicitor>(), std::make_shared<RateLimiter>(60, 60.0),
        KillSwitch({}), std::make_shared<AuditLog>(std::nullopt), services.tokens);
    services.transport = std::make_shared<CurlTransport>();
    services.browser = std::move(browser);
    return MCPTools(services);
  }

  std::optional<Json> reply(const std::string& line) {
    std::optional<std::string> text = server.handleLine(line);
    if (!text) return std::nullopt;
    EXPECT_EQ(text->find('\n'), std::string::npos);
    return Json::parse(*text);
  }

  // The result object of a tools/call with id 1.
  Json callResult(const Json& params) {
    Json request = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}};
    std::optional<Json> answer = reply(request.dump());
    if (!answer) {
      ADD_FAILURE() << "no reply";
      return Json();
    }
    EXPECT_EQ(answer->at("id"), 1);
    return answer->at("result");
  }

  static Json errorResult(const std::string& text) {
    return {{"content", {{{"type", "text"}, {"text", text}}}}, {"isError", true}};
  }
};

// --- ids and approval answers ---------------------------------------------------------------

TEST(MCPServerStaticTest, StringIdOfEachJsonType) {
  const std::vector<std::pair<Json, std::string>> cases = {{"elicit-ABC", "elicit-ABC"},
                                                           {"", ""},
                                                           {1, "1"},
                                                           {-5, "-5"},
                                                           {1.5, "1.5"},
                                                           {true, "true"},
                                                           {nullptr, "null"},
                                                           {Json::array({1, "a"}), R"([1,"a"])"},
                                                           {{{"k", "v"}}, R"({"k":"v"})"}};
  for (const auto& [id, text] : cases) EXPECT_EQ(MCPServer::stringId(id), text) << id.dump();
}

TEST(MCPServerStaticTest, ElicitationResultIsTheActionOrCancel) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"id":"e","result":{"action":"accept","content":{"x":1}}})", "accept"},
      {R"({"id":"e","result":{"action":"decline"}})", "decline"},
      {R"({"id":"e","result":{"action":""}})", ""},
      {R"({"id":"e","result":{"action":"Something Else"}})", "Something Else"},
      {R"({"id":"e"})", "cancel"},
      {R"({"id":"e","result":null})", "cancel"},
      {R"({"id":"e","result":"accept"})", "cancel"},
      {R"({"id":"e","result":{}})", "cancel"},
      {R"({"id":"e","result":{"action":1}})", "cancel"},
      {R"({"id":"e","error":{"code":-1,"message":"no"}})", "cancel"},
  };
  for (const auto& [answer, action] : cases) {
    EXPECT_EQ(MCPServer::elicitationResult(Json::parse(answer)), ElicitationResult{action})
        << answer;
  }
}

TEST_F(MCPServerTest, AnApprovalAnswerReachesTheCoordinatorAndGetsNoReply) {
  coordinator->open("elicit-1");
  coordinator->open("7");
  EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":"elicit-1","result":{"action":"accept"}})"),
            std::nullopt);
  EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"x"}})"),
            std::nullopt);
  EXPECT_EQ(coordinator->wait("elicit-1", kBound), ElicitationResult{"accept"});
  EXPECT_EQ(coordinator->wait("7", kBound), ElicitationResult{"cancel"});
}

// --- the method table ---------------------------------------------------------------------------

TEST_F(MCPServerTest, InitializeEchoesTheIdAndNamesTheServer) {
  const Json expected = {
      {"jsonrpc", "2.0"},
      {"id", 1},
      {"result",
       {{"protocolVersion", "2025-06-18"},
        {"capabilities", {{"tools", Json::object()}, {"elicitation", Json::object()}}},
        {"serverInfo", {{"name", "varn-mcp"}, {"version", "0.1.0"}}}}}};
  EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"x":[]}})"), expected);
  const std::optional<Json> stringId =
      reply(R"({"jsonrpc":"2.0","id":"a/1","method":"initialize"})");
  ASSERT_TRUE(stringId);
  EXPECT_EQ(stringId->at("id"), "a/1");
}

TEST_F(MCPServerTest, ToolsListCarriesEveryDefinition) {
  const std::optional<Json> answer =
      reply(R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->at("id"), 2);
  const Json& tools = answer->at("result").at("tools");
  EXPECT_EQ(tools.size(), toolRows().size());
  EXPECT_EQ(tools, Json::parse(support::dumpCompact(toolDefinitions())));
}

TEST_F(MCPServerTest, PingGetsAnEmptyResult) {
  EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"),
            Json::parse(R"({"jsonrpc":"2.0","id":3,"result":{}})"));
  EXPECT_EQ(reply(R"({"jsonrpc":"2.0","id":null,"method":"ping"})"),
            Json::parse(R"({"jsonrpc":"2.0","id":null,"result":{}})"));
}

TEST_F(MCPServerTest, UnknownMethodsWithAnIdGetMethodNotFound) {
  for (const std::string method : {"resources/list", "Initialize", "tools/list ", ""}) {
    Json request = {{"jsonrpc", "2.0"}, {"id", 9}, {"method", method}};
    const Json expected = {
        {"jsonrpc", "2.0"},
        {"id", 9},
        {"error", {{"code", -32601}, {"message", "method not found: " + method}}}};
    EXPECT_EQ(reply(request.dump()), expected) << method;
  }
}

TEST_F(MCPServerTest, MessagesWithoutAReplyAnswerNothing) {
  const std::vector<std::string> lines = {
      // notifications, whatever the method
      R"({"jsonrpc":"2.0","method":"initialize"})",
      R"({"jsonrpc":"2.0","method":"tools/list"})",
      R"({"jsonrpc":"2.0","method":"ping"})",
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
      R"({"jsonrpc":"2.0","method":"no/such/method"})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"nope"}})",
      // the initialized notification even with an id
      R"({"jsonrpc":"2.0","id":4,"method":"notifications/initialized"})",
      // no usable method
      R"({"jsonrpc":"2.0","id":5,"method":7})",
      R"({"jsonrpc":"2.0","id":5,"method":null})",
      R"({"jsonrpc":"2.0","id":5,"method":["ping"]})",
      R"({"jsonrpc":"2.0"})",
      // not one JSON object
      "",
      "   ",
      "not json",
      "{",
      "42",
      R"("ping")",
      "null",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"x\":\"\xff\"}",
      R"({"jsonrpc":"2.0","id":1,"method":"ping"} {"id":2})",
  };
  for (const std::string& line : lines) EXPECT_EQ(server.handleLine(line), std::nullopt) << line;
}

TEST_F(MCPServerTest, NestingDeeperThanTheLimitIsNotJson) {
  const auto nested = [](int depth) {
    return R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
  };
  EXPECT_TRUE(server.handleLine(nested(support::kMaxJsonDepth)));
  EXPECT_EQ(server.handleLine(nested(support::kMaxJsonDepth + 1)), std::nullopt);
  EXPECT_EQ(server.handleLine(nested(100000)), std::nullopt);
}

TEST_F(MCPServerTest, ALineEndingInCarriageReturnIsHandled) {
  EXPECT_TRUE(server.handleLine("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r"));
}

// --- tool calls ----------------------------------------------------------------------------------

TEST_F(MCPServerTest, AToolsOutputIsTheTextOfASuccessfulResult) {
  const Json result =
      callResult({{"name", "secret_get"}, {"arguments", {{"ref", "varn://l/a/b"}, {"extra", 1}}}});
  ASSERT_EQ(result.at("isError"), false);
  ASSERT_EQ(result.at("content").size(), 1u);
  EXPECT_EQ(result.at("content")[0].at("type"), "text");
  EXPECT_EQ(
      Json::parse(result.at("content")[0].at("text").get<std::string>()),
      Json::parse(R"({"id":"id-1","ref":"varn://l/a/b","name":"GitHub","field_label":"password",)"
                  R"("kind":"password","ai_access":"injectable","group":""})"));
  EXPECT_THAT(vault->calls(), ::testing::ElementsAre("get varn://l/a/b"));
}

TEST_F(MCPServerTest, ToolsWithoutInputIgnoreTheirArguments) {
  const Json result =
      callResult({{"name", "group_list"}, {"arguments", {{"groups", 5}, {"x", nullptr}}}});
  EXPECT_EQ(result.at("isError"), false);
  EXPECT_EQ(Json::parse(result.at("content")[0].at("text").get<std::string>()),
            Json::parse(R"({"groups":[{"id":"g1","name":"Ops","project":"p1"}]})"));
}

TEST_F(MCPServerTest, AbsentOrNonObjectArgumentsAreAnEmptyObject) {
  for (const Json& params :
       {Json{{"name", "secret_list"}}, Json{{"name", "secret_list"}, {"arguments", "collection=x"}},
        Json{{"name", "secret_list"}, {"arguments", Json::array({1})}},
        Json{{"name", "secret_list"}, {"arguments", nullptr}}}) {
    EXPECT_EQ(callResult(params).at("isError"), false) << params.dump();
  }
  EXPECT_THAT(vault->calls(),
              ::testing::Each(::testing::Eq("list collection=<absent> query=<absent>")));
  EXPECT_EQ(vault->calls().size(), 4u);
}

TEST_F(MCPServerTest, ADecoderErrorNamesTheKeyAndTheToolDoesNotRun) {
  for (const Json& params :
       {Json{{"name", "secret_get"}}, Json{{"name", "secret_get"}, {"arguments", "ref"}},
        Json{{"name", "secret_get"}, {"arguments", {{"ref", nullptr}}}},
        Json{{"name", "secret_get"}, {"arguments", {{"ref", 42}}}}}) {
    const Json result = callResult(params);
    EXPECT_EQ(result.at("isError"), true);
    const std::string text = result.at("content")[0].at("text").get<std::string>();
    EXPECT_THAT(text, ::testing::StartsWith("error: ")) << params.dump();
    EXPECT_THAT(text, ::testing::HasSubstr("ref")) << params.dump();
  }
  EXPECT_TRUE(vault->calls().empty());
}

TEST_F(MCPServerTest, UnknownNamesAreRejectedUnchanged) {
  for (const std::string name : {"Secret_list", "SECRET_LIST", " secret_list", "secret_list ",
                                 "secret_lis", "", "browser", "tools/call"}) {
    EXPECT_EQ(callResult({{"name", name}}),
              errorResult("error: invalidArguments(\"unknown tool: " + name + "\")"))
        << name;
  }
  EXPECT_EQ(callResult(Json::object()), errorResult("error: invalidArguments(\"unknown tool: \")"));
  EXPECT_EQ(callResult({{"name", 5}}), errorResult("error: invalidArguments(\"unknown tool: \")"));
  EXPECT_TRUE(vault->calls().empty());
}

TEST_F(MCPServerTest, ResultTextsSurviveEveryCharacterJsonMustEscape) {
  // The name comes back inside the printed ToolError, itself inside a JSON string.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\"b", R"(a\"b)"},
      {"a\\b", R"(a\\b)"},
      {"line\nbreak\ttab\rreturn", R"(line\nbreak\ttab\rreturn)"},
      {std::string("nul\0byte", 8), R"(nul\0byte)"},
      {"\x01\x1f\x7f\b\f", "\x01\x1f\x7f\b\f"},
      {"caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x94\x91 /slash",
       "caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x94\x91 /slash"},
  };
  for (const auto& [name, printed] : cases) {
    const Json params = {{"name", name}};
    const Json request = {
        {"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}};
    const std::optional<std::string> text = server.handleLine(request.dump());
    ASSERT_TRUE(text);
    const std::optional<Json> parsed = support::parseJson(*text);
    ASSERT_TRUE(parsed) << *text;
    EXPECT_EQ(parsed->at("result"),
              errorResult("error: invalidArguments(\"unknown tool: " + printed + "\")"));
  }
}

TEST_F(MCPServerTest, NoParamsCallsTheToolWithTheEmptyName) {
  const std::optional<Json> answer = reply(R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->at("result"), errorResult("error: invalidArguments(\"unknown tool: \")"));
}

TEST_F(MCPServerTest, BrowserToolsAreNotEnabledWhateverTheirArguments) {
  for (const std::string name :
       {"browser_start", "browser_stop", "browser_fill", "web_login", "credential_capture",
        "browser_navigate", "browser_tabs", "browser_dialog"}) {
    for (const Json& args : {Json::object(), Json{{"url", 5}, {"action", nullptr}}}) {
      EXPECT_EQ(callResult({{"name", name}, {"arguments", args}}),
                errorResult("error: invalidArguments(\"browser tools not enabled\")"))
          << name;
    }
  }
  EXPECT_TRUE(vault->calls().empty());
}

// With a controller, the browser tools run through it (or the vault, for credential_capture).
TEST_F(MCPServerTest, BrowserToolsRunWhenTheServerHasAController) {
  auto browser = std::make_shared<fakes::ScriptedController>();
  browser->tabs = {TabInfo{"T", "https://a/", "A", true}};
  const MCPServer withBrowser(tableOver(vault, browser), vault, coordinator);
  auto output = [&](const std::string& name, const Json& args) {
    const std::optional<std::string> text = withBrowser.handleLine(Json{
        {"jsonrpc", "2.0"},
        {"id", 1},
        {"method", "tools/call"},
        {"params", {{"name", name}, {"arguments", args}}}}.dump());
    return Json::parse(text.value_or("{}"))["result"]["content"][0]["text"].get<std::string>();
  };
  EXPECT_EQ(output("browser_start", {{"idle_timeout_seconds", 5}}),
            R"({"cdp_port":9223,"already_running":false})");
  EXPECT_EQ(output("browser_navigate", {{"url", "https://a/"}}),
            R"({"url":"https://example.com/"})");
  EXPECT_EQ(output("browser_tabs", {{"action", "list"}}),
            R"({"tabs":[{"id":"T","url":"https://a/","title":"A","active":true}]})");
  EXPECT_EQ(output("browser_dialog", {{"action", "accept"}}), R"({"handled":true})");
  EXPECT_EQ(output("browser_stop", Json::object()), R"({"stopped":true})");
  EXPECT_EQ(output("credential_capture", {{"origin", "https://a"}}),
            R"(error: upstream("vault does not support capture"))");
  // The fill and the login reach the controller's running check, after their argument checks.
  EXPECT_EQ(output("browser_fill", {{"ref", "varn://a/b/c"}, {"field", "Password"}}),
            R"(error: invalidArguments("field must be one of username|password|otp|custom"))");
  EXPECT_EQ(output("browser_fill", {{"ref", "varn://a/b/c"}, {"field", "password"}}),
            "error: no password field found on the page");
  EXPECT_EQ(output("web_login", {{"ref", "varn://a/b"}, {"start_url", "file:///etc/passwd"}}),
            R"(error: invalidArguments("start_url must be http or https"))");
  EXPECT_EQ(
      output("web_login", {{"ref", "varn://a/b"}}),
      R"({"status":"stuck","step":"no password credential for this item — no field labeled )"
      R"('password' and none of kind password","page_url":"https://example.com/","filled":[]})");
  EXPECT_EQ(browser->calls,
            (std::vector<std::string>{"setIdleTimeout 5", "start headed", "isRunning",
                                      "navigate https://a/", "currentURL", "isRunning", "listTabs",
                                      "isRunning", "handleDialog true none", "stop", "isRunning",
                                      "locate password", "isRunning", "currentURL"}));
}

TEST_F(MCPServerTest, ResolvingToolsRefuseUndecodableArgumentsBeforeTheRoad) {
  for (const std::string name : {"http_call", "run_command", "mint_token", "totp_code"}) {
    const Json result = callResult({{"name", name}, {"arguments", {{"unrelated", 1}}}});
    ASSERT_TRUE(result.at("isError").get<bool>()) << name;
    const std::string text = result.at("content").at(0).at("text").get<std::string>();
    EXPECT_EQ(text.rfind("error: missing required key", 0), 0u) << text;
  }
  EXPECT_TRUE(vault->calls().empty());
}

// No reference, name, URL, selector or command argument is longer than kMaxArgumentBytes: a longer
// text anywhere in the arguments is refused before any tool runs, the texts that carry a secret
// value or an HTTP body excepted.
TEST_F(MCPServerTest, OverlongArgumentsAreRefusedBeforeAnyToolRuns) {
  const std::string atLimit(MCPServer::kMaxArgumentBytes, 'a');
  const std::string over(MCPServer::kMaxArgumentBytes + 1, 'a');
  const std::string tail =
      " holds a text longer than 131072 bytes — only a secret value or an "
      "http_call body may be longer\")";
  const std::vector<std::tuple<std::string, std::string, Json>> refused{
      {"secret_get", "ref", {{"ref", over}}},
      {"secret_resolve_preview", "ref", {{"ref", over}}},
      {"secret_list", "pad", {{"pad", over}}},
      {"group_list", "x", {{"x", {{"y", Json::array({1, over})}}}}},
      {"run_command", "argv", {{"argv", {"echo", over}}}},
      {"run_command", "env_refs", {{"argv", {"env"}}, {"env_refs", {{"TOKEN", over}}}}},
      {"http_call",
       "headers",
       {{"url", "http://127.0.0.1:9/"}, {"method", "GET"}, {"headers", {{over, "x"}}}}},
      {"secret_create", "name", {{"name", over}, {"value", "v"}}},
      {"browser_navigate", "url", {{"url", over}}},
  };
  for (const auto& [tool, key, arguments] : refused) {
    EXPECT_EQ(callResult({{"name", tool}, {"arguments", arguments}}),
              errorResult("error: invalidArguments(\"argument " + key + tail))
        << tool << " " << key;
  }
  // Where a long text may go, a list or an object holding one is refused for what it is.
  const std::vector<std::tuple<std::string, std::string, Json>> notText{
      {"http_call",
       "body an object",
       {{"url", "http://a/"}, {"method", "P"}, {"body", {{"b", over}}}}},
      {"secret_update", "value an array", {{"ref", "r"}, {"value", {over}}}},
  };
  for (const auto& [tool, what, arguments] : notText) {
    const std::string key = what.substr(0, what.find(' '));
    EXPECT_EQ(callResult({{"name", tool}, {"arguments", arguments}}),
              errorResult("error: invalidArguments(\"argument " + key + " must be a text, not " +
                          what.substr(key.size() + 1) + "\")"));
  }
  EXPECT_EQ(callResult({{"name", "secret_get"}, {"arguments", {{over, "r"}}}}),
            errorResult("error: invalidArguments(\"an argument name is longer than 131072 "
                        "bytes\")"));
  EXPECT_TRUE(vault->calls().empty());

  // At the limit, and longer where a value or a body goes: the tool runs.
  EXPECT_EQ(callResult({{"name", "secret_get"}, {"arguments", {{"ref", atLimit}}}}).at("isError"),
            false);
  const std::vector<std::pair<std::string, Json>> long_{
      {"secret_create",
       {{"name", "n"}, {"field_label", "f"}, {"value", over}, {"kind", "k"}, {"ai_access", "a"}}},
      {"secret_update", {{"ref", "r"}, {"value", over}}},
      {"http_call", {{"url", "http://[::1"}, {"method", "POST"}, {"body", over}}},
  };
  for (const auto& [tool, arguments] : long_) {
    const std::string text = callResult({{"name", tool}, {"arguments", arguments}})
                                 .at("content")[0]
                                 .at("text")
                                 .get<std::string>();
    EXPECT_EQ(text.find("is longer than"), std::string::npos) << tool << ": " << text;
  }
}

TEST_F(MCPServerTest, AToolErrorAppearsInItsPrintedForm) {
  EXPECT_EQ(callResult({{"name", "secret_delete"}, {"arguments", {{"ref", "varn://l/a/b"}}}}),
            errorResult(R"(error: upstream("vault said \"no\"\nline 2\tit\'s\\gone"))"));
}

TEST_F(MCPServerTest, AToolCallWithoutAnIdRunsButIsNotAnswered) {
  EXPECT_EQ(server.handleLine(
                R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"group_list"}})"),
            std::nullopt);
  EXPECT_THAT(vault->calls(), ::testing::ElementsAre("group_list"));
}

// --- serve() over pipes
// ----------------------------------------------------------------------------

// Runs serve() on its own thread between two pipes: the test writes the input and reads every
// output line once serve() has returned.
class Served {
 public:
  explicit Served(const MCPServer& server, ServeLimits limits = {}) {
    EXPECT_EQ(::pipe2(input_, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(output_, O_CLOEXEC), 0);
    serving_ = std::thread([this, &server, limits] {
      server.serve(input_[0], output_[1], limits);
      ::close(output_[1]);
    });
    reading_ = std::thread([this] {
      char block[65536];
      for (;;) {
        ssize_t n = ::read(output_[0], block, sizeof block);
        if (n <= 0) break;
        received_.append(block, static_cast<std::size_t>(n));
      }
    });
  }
  ~Served() {
    endInput();
    if (serving_.joinable()) serving_.join();
    if (reading_.joinable()) reading_.join();
    ::close(input_[0]);
    ::close(output_[0]);
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(input_[1], bytes.data(), bytes.size());
      ASSERT_GT(n, 0);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void endInput() {
    if (input_[1] >= 0) ::close(input_[1]);
    input_[1] = -1;
  }
  // Every output line, after end of input and the end of serve().
  std::vector<std::string> lines() {
    endInput();
    serving_.join();
    reading_.join();
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < received_.size()) {
      std::size_t end = received_.find('\n', start);
      if (end == std::string::npos) {
        ADD_FAILURE() << "output ends without a line feed";
        break;
      }
      out.push_back(received_.substr(start, end - start));
      start = end + 1;
    }
    return out;
  }

 private:
  int input_[2] = {-1, -1};
  int output_[2] = {-1, -1};
  std::thread serving_;
  std::thread reading_;
  std::string received_;
};

std::vector<Json> ids(const std::vector<std::string>& lines) {
  std::vector<Json> out;
  for (const std::string& line : lines) out.push_back(Json::parse(line).at("id"));
  return out;
}

std::string getLine(int id, const std::string& ref) {
  return Json{{"jsonrpc", "2.0"},
              {"id", id},
              {"method", "tools/call"},
              {"params", {{"name", "secret_get"}, {"arguments", {{"ref", ref}}}}}}
             .dump() +
         "\n";
}

TEST_F(MCPServerTest, RepliesKeepTheOrderOfTheirLinesBehindASlowOne) {
  Served served(server);
  // One read holds all three: the slow call is answered only after the fast one reached the vault.
  served.send(getLine(1, "slow") + getLine(2, "fast") +
              R"({"jsonrpc":"2.0","id":3,"method":"ping"})"
              "\n");
  const std::vector<std::string> lines = served.lines();
  ASSERT_EQ(ids(lines), (std::vector<Json>{1, 2, 3}));
  const Json slow =
      Json::parse(Json::parse(lines[0])["result"]["content"][0]["text"].get<std::string>());
  EXPECT_EQ(slow.at("name"), "GitHub");
}

TEST_F(MCPServerTest, FramingOfInputLines) {
  Served served(server);
  served.send("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r\n");  // CRLF
  served.send("\n   \n\t\r\n");                                           // blank lines
  served.send(
      "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\",\"x\":\"\xc3\x28\"}\n");  // not UTF-8
  served.send("{\"jsonrpc\":\"2.0\",\"id\":3,");  // a line over two reads
  served.send("\"method\":\"ping\"}\n");
  served.send("{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}");  // no final line feed
  EXPECT_EQ(ids(served.lines()), (std::vector<Json>{1, 3}));
}

TEST_F(MCPServerTest, ALineOverTheLimitIsDroppedAndTheNextOneHandled) {
  Served served(server);
  // Exactly at the limit: still handled.
  const std::string head = R"({"jsonrpc":"2.0","id":1,"method":"ping","pad":")";
  served.send(head + std::string(MCPServer::kMaxLineBytes - head.size() - 2, 'x') + "\"}\n");
  // One byte over: dropped, although it is valid JSON, and so is everything up to its line feed.
  served.send(R"({"jsonrpc":"2.0","id":2,"method":"ping","pad":")");
  served.send(std::string(MCPServer::kMaxLineBytes - head.size() - 1, 'y') + "\"}\n");
  served.send(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"
              "\n");
  EXPECT_EQ(ids(served.lines()), (std::vector<Json>{1, 3}));
}

TEST_F(MCPServerTest, AnApprovalAnswerReleasesAToolCallThatWaitsForIt) {
  coordinator->open("elicit-T");
  Served served(server);
  served.send(getLine(1, "await-approval") + R"({"jsonrpc":"2.0","id":2,"method":"ping"})"
                                             "\n");
  served.send(R"({"jsonrpc":"2.0","id":"elicit-T","result":{"action":"accept"}})"
              "\n");
  const std::vector<std::string> lines = served.lines();
  ASSERT_EQ(ids(lines), (std::vector<Json>{1, 2}));
  const Json output =
      Json::parse(Json::parse(lines[0])["result"]["content"][0]["text"].get<std::string>());
  EXPECT_EQ(output.at("name"), "accept");
}

// Reading pauses once too much is in flight, but a pause reads ahead and hands over the approval
// answer behind the flood of pings at once, so the call that waits for it is approved. Past what
// a pause may read ahead, the answer is read only once the wait has run out. What it may read
// ahead is taken from the bytes in flight: pings that fit the bytes but not what the read-ahead
// leaves of them pause reading, and lines without a reply behind them keep the answer out of
// reach. An answer read ahead ends the long wait at once, however slowly the machine reads; only
// the cases that must run out wait briefly.
TEST_F(MCPServerTest, APauseReadsAheadForTheApprovalAnswerUpToItsBudget) {
  struct Case {
    const char* name;
    ServeLimits limits;
    std::size_t pad;
    const char* ref;
    const char* action;
    std::size_t silentBytes = 0;  // of lines without a reply, behind the pings
  };
  for (const Case& c :
       {Case{"replies", ServeLimits{std::size_t{1} << 20, 4}, 0, "await-approval", "accept"},
        Case{"bytes", ServeLimits{16 << 10, 1000}, 1000, "await-approval", "accept"},
        Case{"past the budget", ServeLimits{16 << 10, 1000, 0}, 20'000, "await-approval-briefly",
             "timeout"},
        Case{"the read-ahead's share", ServeLimits{32 << 10, 1000, 16 << 10}, 2000,
             "await-approval-briefly", "timeout", 256 << 10}}) {
    SCOPED_TRACE(c.name);
    auto freshCoordinator = std::make_shared<ElicitationCoordinator>();
    // Open before the call runs: the answer may well be read before the call starts to wait.
    freshCoordinator->open("elicit-T");
    vault->coordinator = freshCoordinator;
    const MCPServer paused(tableOver(vault), vault, freshCoordinator);
    std::string input = getLine(1, c.ref);
    std::vector<Json> expected{1};
    for (int id = 2; id < 12; ++id) {
      input +=
          Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "ping"}, {"pad", std::string(c.pad, 'p')}}
              .dump() +
          "\n";
      expected.push_back(id);
    }
    const std::string silent = R"({"jsonrpc":"2.0","method":"notifications/initialized","p":")" +
                               std::string(1000, 's') + "\"}\n";
    for (std::size_t bytes = 0; bytes < c.silentBytes; bytes += silent.size()) input += silent;
    input += R"({"jsonrpc":"2.0","id":"elicit-T","result":{"action":"accept"}})"
             "\n";
    Served served(paused, c.limits);
    served.send(input);
    const std::vector<std::string> lines = served.lines();
    ASSERT_EQ(ids(lines), expected);
    const Json output =
        Json::parse(Json::parse(lines[0])["result"]["content"][0]["text"].get<std::string>());
    EXPECT_EQ(output.at("name"), c.action);
  }
}

// A call counts what its parsed message holds, many times its line for short texts: a line of
// 12 KB whose 3,000 texts hold far more than a 64 KiB limit is refused before any tool runs;
// under a limit that it fits, it runs.
TEST_F(MCPServerTest, ACallThatAloneHoldsMoreThanTheLimitIsRefused) {
  const std::string line =
      Json{{"jsonrpc", "2.0"},
           {"id", 1},
           {"method", "tools/call"},
           {"params",
            {{"name", "secret_get"},
             {"arguments", {{"ref", "fast"}, {"pad", std::vector<std::string>(3000, "a")}}}}}}
          .dump() +
      "\n";
  ASSERT_LT(line.size(), 16'000u);
  for (const std::size_t limit : {std::size_t{64} << 10, std::size_t{64} << 20}) {
    SCOPED_TRACE(limit);
    Served served(server, ServeLimits{limit, 1000});
    served.send(line);
    const std::vector<std::string> lines = served.lines();
    ASSERT_EQ(ids(lines), (std::vector<Json>{1}));
    const std::string text = Json::parse(lines[0])["result"]["content"][0]["text"];
    if (limit < line.size() * 10) {
      EXPECT_THAT(text, ::testing::MatchesRegex("error: invalidArguments\\(\"the call is too "
                                                "large: its message would take about [0-9]+ bytes "
                                                "once read, more than the 13107 bytes a call may "
                                                "take\"\\)"));
    } else {
      EXPECT_EQ(Json::parse(text).at("ref"), "fast");
    }
  }
  EXPECT_THAT(vault->calls(), ::testing::ElementsAre("get fast"));
}

TEST_F(MCPServerTest, EndOfInputEndsAPendingApprovalAsCancel) {
  Served served(server);
  served.send(getLine(1, "await-approval"));
  // Only the end of input can end this wait before kBound.
  const std::vector<std::string> lines = served.lines();
  ASSERT_EQ(ids(lines), (std::vector<Json>{1}));
  const Json output =
      Json::parse(Json::parse(lines[0])["result"]["content"][0]["text"].get<std::string>());
  EXPECT_EQ(output.at("name"), "cancel");
}

TEST_F(MCPServerTest, ServedRepliesEqualTheRepliesOfHandleLine) {
  const std::vector<std::string> requests = {
      R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})",
      R"({"jsonrpc":"2.0","id":"x","method":"initialize"})",
      R"({"jsonrpc":"2.0","id":[3],"method":"nope"})",
      R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"group_list"}})",
      R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"web_login"}})",
  };
  std::vector<std::string> expected;
  std::string input;
  for (const std::string& request : requests) {
    expected.push_back(server.handleLine(request).value_or("<none>"));
    input += request + "\n";
  }
  Served served(server);
  served.send(input);
  EXPECT_EQ(served.lines(), expected);
}

TEST_F(MCPServerTest, ServedApprovalAnswersWriteNothing) {
  coordinator->open("elicit-9");
  Served served(server);
  served.send(R"({"jsonrpc":"2.0","id":"elicit-9","result":{"action":"accept"}})"
              "\n");
  served.send(R"({"jsonrpc":"2.0","id":"elicit-unknown","result":{"action":"accept"}})"
              "\n");
  EXPECT_TRUE(served.lines().empty());
  EXPECT_EQ(coordinator->wait("elicit-9", kBound), ElicitationResult{"accept"});
}

}  // namespace
}  // namespace varn::mcp
