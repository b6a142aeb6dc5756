// Reply order, end of input and signals, against the real binary and a fake vault.

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

const char* const kListReply =
    R"([{"ref":"varn://local/GitHub/password","name":"GitHub","type":"password","ai_access":"injectable"}])";

class LifecycleTest : public ServerTest {
 protected:
  Json idOf(const std::optional<std::string>& line) {
    if (!line) return Json("no line");
    return parseReply(*line).value_or(Json::object()).value("id", Json("not JSON"));
  }
};

// The first call waits for its vault reply; the lines behind it are handled meanwhile (the vault
// sees the second call while the first is still held) but answered only after it.
TEST_F(LifecycleTest, SlowVaultReplyHoldsBackTheRepliesToLaterLines) {
  auto gate = std::make_shared<Gate>();
  startVault();
  // Told apart by op: the two calls may reach the vault in either order.
  vault->answer("list", VaultReply::heldBy(VaultReply::line(kListReply), gate));
  vault->answer("group_list", VaultReply::line(R"({"groups":[]})"));
  startServer();

  ASSERT_TRUE(server->send(toolsCall(1, "secret_list") + "\n" + toolsCall(2, "group_list") + "\n" +
                           request(3, "ping") + "\n" + request(4, "tools/list") + "\n"));
  ASSERT_TRUE(vault->waitForRequests(2)) << "the later call was not handled while one waited";
  // Nothing may leave while the first reply is held (this check can only ever pass wrongly).
  EXPECT_EQ(server->readLine(std::chrono::milliseconds(200)), std::nullopt);

  gate->open();
  std::optional<std::string> first = server->readLine();
  EXPECT_EQ(idOf(first), Json(1));
  std::optional<ToolResult> result =
      toolResult(parseReply(first.value_or("{}")).value_or(Json::object()));
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->isError) << result->text;
  EXPECT_EQ(Json::parse(result->text)["items"].size(), 1u);
  EXPECT_EQ(idOf(server->readLine()), Json(2));
  EXPECT_EQ(idOf(server->readLine()), Json(3));
  EXPECT_EQ(idOf(server->readLine()), Json(4));
  expectCleanExit();
}

TEST_F(LifecycleTest, EndOfInputWaitsForTheCallInFlightThenExitsZero) {
  auto gate = std::make_shared<Gate>();
  startVault();
  vault->enqueue(VaultReply::heldBy(VaultReply::line(kListReply), gate));
  startServer();

  ASSERT_TRUE(server->sendLine(toolsCall(1, "secret_list")));
  ASSERT_TRUE(vault->waitForRequests(1));
  server->closeInput();
  gate->open();
  EXPECT_EQ(idOf(server->readLine()), Json(1));
  EXPECT_TRUE(server->outputEnds());
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, 0, false, 0}));
  EXPECT_EQ(server->stderrText(), "");
}

TEST_F(LifecycleTest, EndOfInputWhenIdleExitsZeroWithoutAWord) {
  startServer();
  expectCleanExit();
  EXPECT_EQ(server->stderrText(), "");
  EXPECT_TRUE(server->linesRead().empty());
}

TEST_F(LifecycleTest, StartUpMakesTheApplicationSupportFolder) {
  startServer();
  roundTrip(request(1, "ping"));
  EXPECT_TRUE(std::filesystem::is_directory(home + "/Library/Application Support/Varn"));
  expectCleanExit();
}

TEST_F(LifecycleTest, ExistingApplicationSupportFolderIsNoProblem) {
  dir.makeFolder("h/Library/Application Support/Varn");
  startServer();
  EXPECT_TRUE(roundTrip(request(1, "ping")).contains("result"));
  expectCleanExit();
  EXPECT_EQ(server->stderrText(), "");
}

struct SignalCase {
  int signal;
  int status;
};

void PrintTo(const SignalCase& c, std::ostream* out) {
  *out << "signal " << c.signal;
}

class SignalTest : public LifecycleTest, public testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, SignalWhileIdleEndsWith128PlusItsNumber) {
  startServer();
  // The handlers are in place before the server answers its first line.
  ASSERT_TRUE(roundTrip(request(1, "initialize")).contains("result"));
  server->sendSignal(GetParam().signal);
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, GetParam().status, false, 0}));
}

TEST_P(SignalTest, SignalWhileACallWaitsForTheVaultEndsAtOnce) {
  auto gate = std::make_shared<Gate>();
  startVault();
  vault->enqueue(VaultReply::heldBy(VaultReply::line("[]"), gate));
  startServer();
  ASSERT_TRUE(roundTrip(request(1, "initialize")).contains("result"));
  ASSERT_TRUE(server->sendLine(toolsCall(2, "secret_list")));
  ASSERT_TRUE(vault->waitForRequests(1));
  server->sendSignal(GetParam().signal);
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, GetParam().status, false, 0}));
  gate->open();
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, SignalTest,
                         testing::Values(SignalCase{SIGTERM, 143}, SignalCase{SIGINT, 130}),
                         [](const testing::TestParamInfo<SignalCase>& param) {
                           return param.param.signal == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

}  // namespace
}  // namespace varn::tests
