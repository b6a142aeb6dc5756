#include "mcp/browser/CDPConnection.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/DevToolsHTTP.hpp"
#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/FakeDevToolsServer.hpp"
#include "mcp/browser/testing/LoopbackPort.hpp"

namespace varn::mcp {
namespace {

using support::Json;
using testing::errorOf;
using testing::FakeDevToolsServer;
using namespace std::chrono_literals;

class CDPConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection = std::make_unique<CDPConnection>(server.webSocketURL(), [this](const Json& event) {
      std::lock_guard lock(eventsMutex);
      events.push_back(event);
    });
    connection->connect();
  }

  std::vector<Json> seenEvents() {
    std::lock_guard lock(eventsMutex);
    return events;
  }

  FakeDevToolsServer server;
  std::mutex eventsMutex;
  std::vector<Json> events;
  std::unique_ptr<CDPConnection> connection;
};

TEST_F(CDPConnectionTest, NumbersCommandsAndWritesTheExactFrames) {
  EXPECT_EQ(connection->send("Target.getTargets"), Json::object());
  EXPECT_EQ(connection->send("Page.navigate", {{"url", "http://127.0.0.1/"}}, "S1"),
            Json::object());
  // Text that is not UTF-8 fails before sending, names no byte of it, and still uses its id.
  EXPECT_EQ(errorOf([&] {
              connection->send("Input.insertText", {{"text", "s3cr\xff"}}, "S1");
            }),
            "browser (CDP) failure: encode failed for Input.insertText");
  EXPECT_EQ(connection->send("Page.enable", Json::object()), Json::object());

  EXPECT_THAT(
      server.frames(),
      ::testing::ElementsAre(
          R"({"id":1,"method":"Target.getTargets","params":{}})",
          R"({"id":2,"method":"Page.navigate","params":{"url":"http://127.0.0.1/"},"sessionId":"S1"})",
          R"({"id":4,"method":"Page.enable","params":{}})"));
  auto handshakes = server.handshakes();
  ASSERT_EQ(handshakes.size(), 1u);
  EXPECT_EQ(handshakes[0].host, "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(handshakes[0].target, "/devtools/browser/fake");
  EXPECT_EQ(handshakes[0].origin, std::nullopt);
}

TEST_F(CDPConnectionTest, RepliesGiveTheResultOrTheErrorText) {
  server.setResponder([](const Json& command) -> std::optional<Json> {
    std::string method = command["method"];
    if (method == "result") return Json{{"result", {{"value", 7}}}};
    if (method == "bare") return Json::object();
    if (method == "error") return Json{{"error", {{"code", -32000}, {"message", "M"}}}};
    if (method == "errorWithoutMessage") return Json{{"error", {{"code", -32602}}}};
    if (method == "errorMessageNotText") return Json{{"error", {{"message", 5}}}};
    if (method == "errorString") return Json{{"error", "E"}, {"result", {{"ok", true}}}};
    if (method == "resultNotObject") return Json{{"result", 3}};
    return std::nullopt;
  });
  EXPECT_EQ(connection->send("result"), (Json{{"value", 7}}));
  EXPECT_EQ(connection->send("bare"), Json::object());
  EXPECT_EQ(errorOf([&] { connection->send("error"); }), "browser (CDP) failure: M");
  EXPECT_EQ(errorOf([&] { connection->send("errorWithoutMessage"); }),
            "browser (CDP) failure: cdp error");
  EXPECT_EQ(errorOf([&] { connection->send("errorMessageNotText"); }),
            "browser (CDP) failure: cdp error");
  EXPECT_EQ(connection->send("errorString"), (Json{{"ok", true}}));
  EXPECT_EQ(connection->send("resultNotObject"), Json::object());
}

TEST_F(CDPConnectionTest, DropsWhatIsNoReplyAndHandsEventsOn) {
  // The command's reply comes last, as a data frame, after frames that must all be skipped.
  server.setResponder([this](const Json& command) -> std::optional<Json> {
    const std::int64_t id = command["id"];
    server.sendText("not json");
    server.sendText("[1,2]");
    server.sendBinary("\xff\xfe{}");
    server.sendJson({{"id", "1"}, {"result", {{"wrong", true}}}});
    server.sendJson({{"id", 1.5}, {"result", {{"wrong", true}}}});
    server.sendJson({{"id", id + 100}, {"result", {{"wrong", true}}}});
    server.sendJson({{"method", "Page.javascriptDialogOpening"}, {"params", {{"type", "alert"}}}});
    server.sendBinary(Json{{"id", id}, {"result", {{"right", true}}}}.dump());
    server.sendJson({{"method", "Target.detachedFromTarget"}, {"params", {{"sessionId", "S"}}}});
    return std::nullopt;
  });
  EXPECT_EQ(connection->send("Runtime.evaluate"), (Json{{"right", true}}));
  server.setResults({});
  // One more round trip: every frame pushed above has been read by now.
  EXPECT_EQ(connection->send("Page.enable"), Json::object());
  EXPECT_THAT(seenEvents(),
              ::testing::ElementsAre(
                  Json{{"method", "Page.javascriptDialogOpening"}, {"params", {{"type", "alert"}}}},
                  Json{{"method", "Target.detachedFromTarget"}, {"params", {{"sessionId", "S"}}}}));
}

TEST_F(CDPConnectionTest, MatchesRepliesInAnyOrderAndReadsLargeMessages) {
  std::mutex mutex;
  std::vector<std::int64_t> held;
  server.setResponder([&](const Json& command) -> std::optional<Json> {
    std::lock_guard lock(mutex);
    held.push_back(command["id"]);
    if (held.size() < 2) return std::nullopt;
    // Both have arrived: answer the second first, with 17 MiB (past Beast's default limit), then
    // the first.
    server.sendJson({{"id", held[1]}, {"result", {{"big", std::string(17 << 20, 'x')}}}});
    server.sendJson({{"id", held[0]}, {"result", {{"n", held[0]}}}});
    return std::nullopt;
  });
  auto first = std::async(std::launch::async, [&] { return connection->send("A"); });
  ASSERT_TRUE(server.waitForFrames(1));
  auto second = std::async(std::launch::async, [&] { return connection->send("B"); });
  EXPECT_EQ(first.get(), (Json{{"n", 1}}));
  EXPECT_EQ(second.get()["big"].get_ref<const std::string&>().size(), 17u << 20);
}

TEST_F(CDPConnectionTest, ACommandPastItsDeadlineFailsAndItsLateReplyIsDropped) {
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  EXPECT_EQ(errorOf([&] { connection->send("Runtime.evaluate", Json::object(), "S", 50ms); }),
            "browser (CDP) failure: timed out waiting for Runtime.evaluate");
  server.sendJson({{"id", 1}, {"result", {{"late", true}}}});
  server.setResults({{"Page.enable", {{"fresh", true}}}});
  EXPECT_EQ(connection->send("Page.enable"), (Json{{"fresh", true}}));
}

TEST_F(CDPConnectionTest, ABrokenSocketFailsWaitersAndLaterSendsWithItsError) {
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  auto first =
      std::async(std::launch::async, [&] { return errorOf([&] { connection->send("A"); }); });
  auto second =
      std::async(std::launch::async, [&] { return errorOf([&] { connection->send("B"); }); });
  ASSERT_TRUE(server.waitForFrames(2));
  server.breakConnection();
  std::string error = first.get();
  EXPECT_THAT(error, ::testing::StartsWith("DevTools WebSocket read failed: "));
  EXPECT_EQ(second.get(), error);
  // The third command fails at once, with the same error, without waiting for its deadline.
  EXPECT_EQ(errorOf([&] {
              connection->send("C", Json::object(), std::nullopt, std::chrono::milliseconds::max());
            }),
            error);
  EXPECT_EQ(server.frames().size(), 2u);
}

TEST_F(CDPConnectionTest, CloseFailsWaitersAndSendsGoingAway) {
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  std::vector<std::future<std::string>> waiting;
  for (const char* method : {"A", "B", "C"}) {
    waiting.push_back(std::async(
        std::launch::async, [this, method] { return errorOf([&] { connection->send(method); }); }));
  }
  ASSERT_TRUE(server.waitForFrames(3));
  connection->close();
  for (auto& result : waiting) EXPECT_EQ(result.get(), "browser (CDP) failure: connection closed");
  EXPECT_EQ(errorOf([&] { connection->send("D"); }), "browser (CDP) failure: connection closed");
  ASSERT_TRUE(server.waitForDisconnects(1));
  EXPECT_THAT(server.closeCodes(), ::testing::ElementsAre(1001));
  connection->close();  // again: nothing happens
}

TEST_F(CDPConnectionTest, CloseDuringAHalfWrittenFrameKeepsItAndGivesUpAfterTheGrace) {
  // The server's thread waits in the first command's responder and reads nothing more, so the
  // next frame, far larger than the socket buffers, stays half written.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto releaseOnExit = std::shared_ptr<void>(nullptr, [&](void*) { release.set_value(); });
  server.setResponder([released](const Json&) -> std::optional<Json> {
    released.wait();
    return std::nullopt;
  });
  auto first =
      std::async(std::launch::async, [this] { return errorOf([&] { connection->send("A"); }); });
  ASSERT_TRUE(server.waitForFrames(1));
  // The deadline ends the call, not the write: the frame was handed to the I/O thread before the
  // close is.
  EXPECT_EQ(errorOf([&] {
              connection->send("B", {{"text", std::string(32 << 20, 'x')}}, std::nullopt, 1ms);
            }),
            "browser (CDP) failure: timed out waiting for B");
  auto closed = std::async(std::launch::async, [this] { connection->close(); });
  // The grace is a second; the bound only keeps a regression from hanging the run.
  EXPECT_EQ(closed.wait_for(60s), std::future_status::ready);
  releaseOnExit.reset();
  closed.get();
  EXPECT_EQ(first.get(), "browser (CDP) failure: connection closed");
}

TEST(CDPConnectionFailureTest, ConnectionsThatCannotOpenFailTheirCommands) {
  const std::int64_t closedPort = testing::unusedLoopbackPort();
  struct Case {
    std::string url;
    const char* errorStart;
  };
  const Case cases[] = {
      {"ws://127.0.0.1:" + std::to_string(closedPort) + "/devtools/browser/x",
       "DevTools WebSocket connect failed: "},
      {"ws://evil.example:9223/devtools/browser/x", "not a loopback DevTools WebSocket URL: "},
      {"wss://127.0.0.1:9223/x", "not a loopback DevTools WebSocket URL: "},
      {"ws://127.0.0.1/x", "not a loopback DevTools WebSocket URL: "},
  };
  for (const Case& c : cases) {
    CDPConnection connection(c.url);
    connection.connect();
    EXPECT_THAT(errorOf([&] { connection.send("A", Json::object(), std::nullopt, 10s); }),
                ::testing::StartsWith(c.errorStart))
        << c.url;
  }
  // Never connected: close still fails later commands at once.
  CDPConnection idle("ws://127.0.0.1:1/x");
  idle.close();
  EXPECT_EQ(errorOf([&] { idle.send("A"); }), "browser (CDP) failure: connection closed");
}

TEST(DevToolsHTTPTest, GetsTheEndpointsWithTheirStatus) {
  FakeDevToolsServer server;
  server.setHTTPReply("/json", 200, R"([{"id":"T","url":"about:blank"}])");
  DevToolsHTTPResponse version = getDevToolsEndpoint(server.port(), "/json/version");
  EXPECT_EQ(version.status, 200);
  EXPECT_EQ(Json::parse(version.body)["webSocketDebuggerUrl"], server.webSocketURL());
  EXPECT_EQ(getDevToolsEndpoint(server.port(), "/json"),
            (DevToolsHTTPResponse{200, R"([{"id":"T","url":"about:blank"}])"}));
  EXPECT_EQ(getDevToolsEndpoint(server.port(), "/other").status, 404);

  EXPECT_THAT(errorOf([] { (void)getDevToolsEndpoint(testing::unusedLoopbackPort(), "/json"); }),
              ::testing::HasSubstr("Connection refused"));
  EXPECT_THAT(errorOf([] { (void)getDevToolsEndpoint(70000, "/json"); }),
              ::testing::HasSubstr("invalid port"));
  // A peer that accepts and never answers is given up at the deadline.
  testing::SilentListener silent;
  EXPECT_THAT(errorOf([&] { (void)getDevToolsEndpoint(silent.port(), "/json/version", 100ms); }),
              ::testing::HasSubstr("timeout"));
}

}  // namespace
}  // namespace varn::mcp
