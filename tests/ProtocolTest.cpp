// The JSON-RPC layer seen from an MCP client: the four methods, ids, notifications, and what
// happens to lines that are not requests.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

class ProtocolTest : public ServerTest {
 protected:
  void SetUp() override { startServer(); }

  // Sends a ping with `id` and checks that the very next line is its reply: whatever was sent
  // before produced no line of its own.
  void expectNextReplyIsPing(int id) {
    Json reply = roundTrip(request(id, "ping"));
    EXPECT_EQ(reply, (Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", Json::object()}}));
  }
};

TEST_F(ProtocolTest, InitializeAnnouncesProtocolCapabilitiesAndServer) {
  Json reply = roundTrip(request(1, "initialize",
                                 {{"protocolVersion", "2025-06-18"},
                                  {"capabilities", Json::object()},
                                  {"clientInfo", {{"name", "t"}, {"version", "1"}}}}));
  EXPECT_EQ(reply, Json::parse(R"({"jsonrpc":"2.0","id":1,"result":{
      "protocolVersion":"2025-06-18",
      "capabilities":{"tools":{},"elicitation":{}},
      "serverInfo":{"name":"varn-mcp","version":"0.1.0"}}})"));
  expectCleanExit();
}

TEST_F(ProtocolTest, IdIsEchoedWithItsJsonType) {
  const std::vector<Json> ids{Json(7), Json(0), Json(-3), Json("7"), Json("abc-é"), Json("")};
  for (const Json& id : ids) {
    Json reply = roundTrip(request(id, "initialize"));
    EXPECT_EQ(reply.value("id", Json()), id) << "id " << id.dump();
    EXPECT_TRUE(reply.contains("result")) << "id " << id.dump();
  }
}

// Numbers come back as written, also where no 64-bit integer or double holds them exactly.
TEST_F(ProtocolTest, IdIsEchoedAsWritten) {
  for (const std::string id :
       {"18446744073709551616", "-0", "1e400", "1.50", "-1E+2", "[1,{\"a\":2}]", "\"\\u0041\""}) {
    ASSERT_TRUE(server->sendLine(R"({"jsonrpc":"2.0","method":"ping","id":)" + id + "}"));
    EXPECT_EQ(server->readLine(), R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
  }
  ASSERT_TRUE(server->sendLine(R"({"id" : [ 1 , "a b" ] ,"jsonrpc":"2.0","method":"nope"})"));
  EXPECT_EQ(server->readLine(), R"({"jsonrpc":"2.0","id":[1,"a b"],"error":{"code":-32601,)"
                                R"("message":"method not found: nope"}})");
}

TEST_F(ProtocolTest, InitializeMayComeAgainAndOtherMethodsNeedNoInitialize) {
  expectNextReplyIsPing(1);
  EXPECT_TRUE(roundTrip(request(2, "initialize")).contains("result"));
  EXPECT_TRUE(roundTrip(request(3, "initialize")).contains("result"));
}

TEST_F(ProtocolTest, ToolsListAnnouncesAll28ToolsInOrder) {
  Json reply = roundTrip(request(1, "tools/list", {{"cursor", "ignored"}}));
  ASSERT_TRUE(reply.contains("result")) << reply.dump();
  const Json& tools = reply["result"]["tools"];
  ASSERT_TRUE(tools.is_array());
  std::vector<std::string> names;
  for (const Json& tool : tools) {
    EXPECT_EQ(tool.size(), 3u) << tool.dump();
    EXPECT_TRUE(tool.at("description").is_string());
    EXPECT_EQ(tool.at("inputSchema").at("type"), "object");
    names.push_back(tool.at("name").get<std::string>());
  }
  const std::vector<std::string> expected{"secret_list",      "secret_resolve_preview",
                                          "http_call",        "run_command",
                                          "mint_token",       "totp_code",
                                          "secret_create",    "secret_get",
                                          "secret_update",    "secret_delete",
                                          "group_list",       "group_create",
                                          "group_get",        "group_update",
                                          "group_delete",     "project_list",
                                          "project_create",   "project_get",
                                          "project_update",   "project_delete",
                                          "browser_start",    "browser_stop",
                                          "browser_navigate", "browser_tabs",
                                          "browser_dialog",   "browser_fill",
                                          "web_login",        "credential_capture"};
  EXPECT_EQ(names, expected);
}

TEST_F(ProtocolTest, PingGetsTheEmptyResult) {
  expectNextReplyIsPing(5);
}

TEST_F(ProtocolTest, UnknownMethodWithIdIsMethodNotFound) {
  const std::vector<std::string> methods{"foo/bar", "Initialize", "tools/list ", ""};
  for (const std::string& method : methods) {
    int id = nextId();
    Json reply = roundTrip(request(id, method));
    EXPECT_EQ(reply,
              (Json{{"jsonrpc", "2.0"},
                    {"id", id},
                    {"error", {{"code", -32601}, {"message", "method not found: " + method}}}}))
        << "method '" << method << "'";
  }
}

// A message without "id" is a notification: never answered, whatever its method.
TEST_F(ProtocolTest, NotificationsGetNoReply) {
  const std::vector<std::string> methods{"notifications/initialized",
                                         "notifications/cancelled",
                                         "initialize",
                                         "tools/list",
                                         "ping",
                                         "no/such/method",
                                         "tools/call"};
  for (const std::string& method : methods) {
    ASSERT_TRUE(server->sendLine(notification(method, {{"requestId", 1}})));
  }
  expectNextReplyIsPing(100);
}

TEST_F(ProtocolTest, LinesThatAreNotRequestsGetNoReplyAndLaterLinesStillDo) {
  const std::vector<std::string> lines{
      "",
      "   \t ",
      "\xff\xfe{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}",         // not UTF-8
      "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\",\"x\":\"\xc3\"}",  // cut UTF-8
      "hello",
      "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"ping\"",     // not JSON: unclosed
      "[{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}]",  // a batch
      "42",
      "\"ping\"",
      "null",
      "{\"jsonrpc\":\"2.0\"}",                        // neither method nor id
      "{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":7}",  // method not a string
      "{\"jsonrpc\":\"2.0\",\"id\":\"nobody-waits\",\"result\":{\"action\":\"accept\"}}",
      "{\"jsonrpc\":\"2.0\",\"id\":null}",
  };
  for (const std::string& line : lines) ASSERT_TRUE(server->sendLine(line));
  expectNextReplyIsPing(100);
  expectCleanExit();
}

TEST_F(ProtocolTest, LineEndingInCarriageReturnAndLineFeedIsHandled) {
  ASSERT_TRUE(server->send(request(1, "ping") + "\r\n"));
  std::optional<std::string> reply = server->readLine();
  ASSERT_TRUE(reply);
  EXPECT_EQ(parseReply(*reply), (Json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", Json::object()}}));
}

TEST_F(ProtocolTest, LinesSplitAcrossWritesAndJoinedInOneWriteAreEachHandled) {
  std::string first = request(1, "ping");
  ASSERT_TRUE(server->send(first.substr(0, 10)));
  ASSERT_TRUE(server->send(first.substr(10) + "\n" + request(2, "ping") + "\n" +
                           request(3, "ping").substr(0, 5)));
  ASSERT_TRUE(server->send(request(3, "ping").substr(5) + "\n"));
  for (int id : {1, 2, 3}) {
    std::optional<std::string> reply = server->readLine();
    ASSERT_TRUE(reply);
    EXPECT_EQ(parseReply(*reply).value_or(Json()).value("id", Json()), Json(id));
  }
}

TEST_F(ProtocolTest, PartialLastLineIsNeverHandled) {
  ASSERT_TRUE(server->sendLine(request(1, "ping")));
  ASSERT_TRUE(server->send(request(2, "ping")));
  std::optional<std::string> reply = server->readLine();
  ASSERT_TRUE(reply);
  EXPECT_EQ(parseReply(*reply).value_or(Json()).value("id", Json()), Json(1));
  expectCleanExit();
}

TEST_F(ProtocolTest, LineOver16MiBIsDiscardedAndTheNextLineIsHandled) {
  // A valid request padded past the limit: were it read whole, it would be answered.
  std::string huge = request(1, "ping", {{"pad", std::string(16 * 1024 * 1024 + 16, 'a')}});
  ASSERT_TRUE(server->sendLine(huge));
  expectNextReplyIsPing(2);
  expectCleanExit();
}

TEST_F(ProtocolTest, LineJustUnder16MiBIsStillHandled) {
  std::string big = request(1, "ping", {{"pad", std::string(16 * 1024 * 1024 - 1024, 'a')}});
  ASSERT_TRUE(server->sendLine(big));
  expectNextReplyIsPing(1);
}

std::string nested(int levels) {
  return std::string(static_cast<std::size_t>(levels), '[') +
         std::string(static_cast<std::size_t>(levels), ']');
}

TEST_F(ProtocolTest, DeepNestingIsNotJson) {
  ASSERT_TRUE(
      server->sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + nested(600) + "}"));
  expectNextReplyIsPing(2);
  expectCleanExit();
}

TEST_F(ProtocolTest, ModerateNestingIsJson) {
  ASSERT_TRUE(
      server->sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + nested(400) + "}"));
  expectNextReplyIsPing(1);
}

TEST_F(ProtocolTest, RequestWithoutJsonrpcMemberIsStillAnswered) {
  Json reply = roundTrip(R"({"id":1,"method":"ping"})");
  EXPECT_EQ(reply, (Json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", Json::object()}}));
}

TEST_F(ProtocolTest, ToolsCallWithoutParamsCallsTheEmptyName) {
  Json reply = roundTrip(request(1, "tools/call"));
  EXPECT_EQ(toolResult(reply), (ToolResult{"error: invalidArguments(\"unknown tool: \")", true}));
}

TEST_F(ProtocolTest, ToolNamesMatchExactly) {
  for (std::string name : {"Secret_List", " secret_list", "secret_list ", "secret"}) {
    EXPECT_EQ(call(name),
              (ToolResult{"error: invalidArguments(\"unknown tool: " + name + "\")", true}));
  }
}

}  // namespace
}  // namespace varn::tests
