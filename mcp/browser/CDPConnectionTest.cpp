#include "mcp/browser/CDPConnection.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/FakeDevToolsPipe.hpp"

namespace varn::mcp {
namespace {

using fakes::errorOf;
using fakes::FakeDevToolsPipe;
using support::Json;
using namespace std::chrono_literals;

class CDPConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto [readFd, writeFd] = server.makePipes();
    connection = std::make_unique<CDPConnection>(
        support::UniqueFd(readFd), support::UniqueFd(writeFd), [this](const Json& event) {
          std::lock_guard lock(eventsMutex);
          events.push_back(event);
        });
    connection->connect();
  }

  std::vector<Json> seenEvents() {
    std::lock_guard lock(eventsMutex);
    return events;
  }

  FakeDevToolsPipe server;
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
}

// A posted command is written in its turn and its caller goes on at once; its reply reaches the
// callback before the replies that follow it, and a page that never answers costs nothing.
TEST_F(CDPConnectionTest, APostedCommandWaitsForNothing) {
  std::atomic<int> answered = 0;
  connection->post("Page.enable", Json::object(), "S1");
  connection->post("Emulation.setFocusEmulationEnabled", {{"enabled", true}}, "S1",
                   [&] { ++answered; });
  EXPECT_EQ(connection->send("Runtime.evaluate", Json::object(), "S1"), Json::object());
  EXPECT_EQ(answered, 1);
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  connection->post("Page.enable", Json::object(), "S2", [&] { ++answered; });
  ASSERT_TRUE(server.waitForFrames(4));
  connection->close();
  EXPECT_EQ(answered, 1);
  EXPECT_EQ(errorOf([&] { connection->post("Page.enable"); }),
            "browser (CDP) failure: connection closed");
  EXPECT_THAT(
      server.frames(),
      ::testing::ElementsAre(
          R"({"id":1,"method":"Page.enable","params":{},"sessionId":"S1"})",
          R"({"id":2,"method":"Emulation.setFocusEmulationEnabled","params":{"enabled":true},"sessionId":"S1"})",
          R"({"id":3,"method":"Runtime.evaluate","params":{},"sessionId":"S1"})",
          R"({"id":4,"method":"Page.enable","params":{},"sessionId":"S2"})"));
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
  // The command's reply comes last, split over several writes, after messages that must all be
  // skipped.
  server.setResponder([this](const Json& command) -> std::optional<Json> {
    const std::int64_t id = command["id"];
    server.sendJson({{"id", "1"}, {"result", {{"wrong", true}}}});
    server.sendJson({{"id", 1.5}, {"result", {{"wrong", true}}}});
    server.sendJson({{"id", id + 100}, {"result", {{"wrong", true}}}});
    server.sendJson({{"method", "Page.javascriptDialogOpening"}, {"params", {{"type", "alert"}}}});
    const std::string reply = Json{{"id", id}, {"result", {{"right", true}}}}.dump();
    server.sendBytes(reply.substr(0, 5));
    server.sendText(reply.substr(5));
    server.sendJson({{"method", "Target.detachedFromTarget"}, {"params", {{"sessionId", "S"}}}});
    // Lone surrogates as Chromium escapes them, beside a pair and an escaped backslash.
    server.sendText(R"({"method":"M","params":{"t":"a\ud800b\udc00\ud83d\ude00\\ud800"}})");
    return std::nullopt;
  });
  EXPECT_EQ(connection->send("Runtime.evaluate"), (Json{{"right", true}}));
  server.setResults({});
  // One more round trip: every message pushed above has been read by now.
  EXPECT_EQ(connection->send("Page.enable"), Json::object());
  EXPECT_THAT(seenEvents(),
              ::testing::ElementsAre(
                  Json{{"method", "Page.javascriptDialogOpening"}, {"params", {{"type", "alert"}}}},
                  Json{{"method", "Target.detachedFromTarget"}, {"params", {{"sessionId", "S"}}}},
                  Json{{"method", "M"}, {"params", {{"t", "a\uFFFDb\uFFFD\U0001F600\\ud800"}}}}));
}

// The bytes are made when the case runs: a 64 MiB text as the parameter itself would be copied and
// printed whenever the test binary lists its tests.
struct BadInput {
  const char* name;
  std::string (*bytes)();
};

// What cannot be a message ends the connection: the waiting command and every later one fail at
// once, and the browser's pipe is closed.
class CDPConnectionBadInputTest : public CDPConnectionTest,
                                  public ::testing::WithParamInterface<BadInput> {};

TEST_P(CDPConnectionBadInputTest, EndsTheConnection) {
  server.setResponder([this](const Json&) -> std::optional<Json> {
    server.sendBytes(GetParam().bytes());
    return std::nullopt;
  });
  EXPECT_EQ(errorOf([&] { connection->send("A", Json::object(), std::nullopt, 60s); }),
            "browser (CDP) failure: connection closed");
  EXPECT_EQ(errorOf([&] { connection->send("B"); }), "browser (CDP) failure: connection closed");
  EXPECT_TRUE(server.waitForDisconnect());
  EXPECT_EQ(server.frames().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CDPConnectionBadInputTest,
    ::testing::Values(BadInput{"NotJson", [] { return std::string("not json", 9); }},
                      BadInput{"NotAnObject", [] { return std::string("[1,2]", 6); }},
                      BadInput{"NotUtf8",
                               [] { return std::string("{\"id\":1,\"x\":\"\xff\"}", 17); }}),
    [](const ::testing::TestParamInfo<BadInput>& param) { return std::string(param.param.name); });

// A message past the limit, around `padding`: made when the case runs, like BadInput's.
struct OversizedInput {
  const char* name;
  std::string (*bytes)(std::int64_t id, const std::string& padding);
  bool failsTheCommand;  // else the command gets the normal reply that follows
};

// A message past the limit is skipped without ending the connection: the command whose reply it
// is fails at once, an event is dropped, and the next command is answered.
class CDPConnectionOversizedTest : public CDPConnectionTest,
                                   public ::testing::WithParamInterface<OversizedInput> {};

TEST_P(CDPConnectionOversizedTest, SkipsTheMessageAndLivesOn) {
  server.setResponder([this](const Json& command) -> std::optional<Json> {
    if (command["method"] != "A") return Json{{"result", Json::object()}};
    const std::int64_t id = command["id"];
    server.sendBytes(GetParam().bytes(id, std::string(CDPConnection::kMaxMessageBytes, 'P')));
    server.sendJson({{"id", id}, {"result", {{"after", true}}}});
    return std::nullopt;
  });
  if (GetParam().failsTheCommand) {
    EXPECT_EQ(errorOf([&] { connection->send("A"); }),
              "browser (CDP) failure: reply to A exceeds the 64 MiB message limit");
  } else {
    EXPECT_EQ(connection->send("A"), (Json{{"after", true}}));
  }
  EXPECT_EQ(connection->send("B"), Json::object());
  EXPECT_EQ(seenEvents(), std::vector<Json>{});
  EXPECT_FALSE(connection->ended());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CDPConnectionOversizedTest,
    ::testing::Values(OversizedInput{"ReplyWithItsIdFirst",
                                     [](std::int64_t id, const std::string& p) {
                                       return R"({"id": )" + std::to_string(id) +
                                              R"(,"result":{"v":")" + p + "\"}}" +
                                              std::string(1, '\0');
                                     },
                                     true},
                      OversizedInput{"ReplyWithItsIdLast",
                                     [](std::int64_t id, const std::string& p) {
                                       return R"({"result":{"id":0,"v":"\",)" + p + R"("},"id":)" +
                                              std::to_string(id) + "}" + std::string(1, '\0');
                                     },
                                     true},
                      // It ends with the normal reply's NUL, which then goes with it.
                      OversizedInput{"ReplyThatEndsLate",
                                     [](std::int64_t id, const std::string& p) {
                                       return R"({"id":)" + std::to_string(id) + R"(,"result":")" +
                                              p;
                                     },
                                     true},
                      OversizedInput{"Event",
                                     [](std::int64_t id, const std::string& p) {
                                       return R"({"method":"M","params":{"id":)" +
                                              std::to_string(id) + R"(,"p":")" + p + "\"}}" +
                                              std::string(1, '\0');
                                     },
                                     false},
                      OversizedInput{"ReplyWithAnIdThatIsNoInteger",
                                     [](std::int64_t id, const std::string& p) {
                                       return R"({"id":)" + std::to_string(id) +
                                              R"(.5,"result":")" + p + "\"}" + std::string(1, '\0');
                                     },
                                     false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(CDPConnectionTest, MatchesRepliesInAnyOrderAndReadsLargeMessages) {
  std::mutex mutex;
  std::vector<std::int64_t> held;
  server.setResponder([&](const Json& command) -> std::optional<Json> {
    std::lock_guard lock(mutex);
    held.push_back(command["id"]);
    if (held.size() < 2) return std::nullopt;
    // Both have arrived: answer the second first, with 17 MiB (far past one read), then the
    // first.
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

// A tool call's command waits no longer than the call's budget allows, whatever its own deadline,
// and fails as a timeout; with nothing left it is not sent (its id is used up all the same).
TEST_F(CDPConnectionTest, TheCallsBudgetCutsEveryWait) {
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  const auto failure = [&](std::string_view method) -> std::optional<BrowserError> {
    try {
      connection->send(method, Json::object(), std::nullopt, std::chrono::hours(24));
    } catch (const BrowserError& error) {
      return error;
    }
    return std::nullopt;
  };
  {
    std::chrono::steady_clock::time_point now{};
    const CallBudget budget(30s, [&] { return now; });
    now += 30s - 20ms;
    EXPECT_EQ(failure("Target.getTargets"), BrowserError::timedOut("Target.getTargets"));
    now += 20ms;
    EXPECT_EQ(failure("Target.attachToTarget"),
              BrowserError::callTooLong(30, "Target.attachToTarget"));
  }
  server.setResults({});
  EXPECT_EQ(connection->send("Page.enable"), Json::object());
  EXPECT_THAT(server.frames(),
              ::testing::ElementsAre(R"({"id":1,"method":"Target.getTargets","params":{}})",
                                     R"({"id":3,"method":"Page.enable","params":{}})"));
}

TEST_F(CDPConnectionTest, ABrowserThatEndsItsPipeFailsWaitersAndLaterSendsAtOnce) {
  server.setResponder([](const Json&) -> std::optional<Json> { return std::nullopt; });
  auto first =
      std::async(std::launch::async, [&] { return errorOf([&] { connection->send("A"); }); });
  auto second =
      std::async(std::launch::async, [&] { return errorOf([&] { connection->send("B"); }); });
  ASSERT_TRUE(server.waitForFrames(2));
  server.breakConnection();
  EXPECT_EQ(first.get(), "browser (CDP) failure: connection closed");
  EXPECT_EQ(second.get(), "browser (CDP) failure: connection closed");
  // The third command fails at once, without waiting for its deadline.
  EXPECT_EQ(errorOf([&] {
              connection->send("C", Json::object(), std::nullopt, std::chrono::milliseconds::max());
            }),
            "browser (CDP) failure: connection closed");
  EXPECT_TRUE(connection->ended());
  EXPECT_EQ(server.frames().size(), 2u);
}

TEST_F(CDPConnectionTest, CloseFailsWaitersAndClosesThePipe) {
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
  EXPECT_TRUE(server.waitForDisconnect());
  connection->close();  // again: nothing happens
}

// A browser that stops reading (frozen) cannot hold close() up, even with a command half written.
TEST_F(CDPConnectionTest, CloseDuringAHalfWrittenCommandDoesNotWaitForTheBrowser) {
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
  // Far larger than the pipe's buffer: it stays half written.
  EXPECT_EQ(errorOf([&] {
              connection->send("B", {{"text", std::string(32 << 20, 'x')}}, std::nullopt, 1ms);
            }),
            "browser (CDP) failure: timed out waiting for B");
  auto closed = std::async(std::launch::async, [this] { connection->close(); });
  // The bound only keeps a regression from hanging the run.
  EXPECT_EQ(closed.wait_for(60s), std::future_status::ready);
  releaseOnExit.reset();
  closed.get();
  EXPECT_EQ(first.get(), "browser (CDP) failure: connection closed");
}

TEST(CDPConnectionClosedTest, ANeverConnectedConnectionFailsItsCommandsOnceClosed) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  CDPConnection idle{support::UniqueFd(ends[0]), support::UniqueFd(ends[1])};
  idle.close();
  EXPECT_EQ(errorOf([&] { idle.send("A"); }), "browser (CDP) failure: connection closed");
}

}  // namespace
}  // namespace varn::mcp
