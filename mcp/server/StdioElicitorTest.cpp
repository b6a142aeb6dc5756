#include "mcp/server/StdioElicitor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mcp/secrets/ResolveError.hpp"
#include "support/Json.hpp"

namespace varn::mcp {
namespace {

using namespace std::chrono_literals;

constexpr auto kLong = 30s;
constexpr auto kShort = 20ms;

// An MCP client stand-in: records every request line and, when told, answers each request with a
// fixed action, either before the elicitor starts to wait or from another thread while it waits.
class ScriptedClient {
 public:
  enum class When { never, beforeTheWait, duringTheWait };

  ScriptedClient(std::optional<std::string> action, When when)
      : action_(std::move(action)), when_(when) {}
  ~ScriptedClient() {
    for (std::thread& t : answering_) t.join();
  }

  StdioElicitor elicitor(std::chrono::steady_clock::duration timeout) {
    return StdioElicitor(
        [this](const std::string& line) {
          receive(line);
          return writable;
        },
        coordinator_, timeout);
  }

  std::vector<std::string> lines;
  bool writable = true;  // false: every line "fails" to be written

  ElicitationCoordinator& coordinator() { return *coordinator_; }

 private:
  void receive(const std::string& line) {
    lines.push_back(line);
    if (!action_ || when_ == When::never) return;
    const std::string id = support::Json::parse(line).at("id").get<std::string>();
    if (when_ == When::beforeTheWait) {
      coordinator_->fulfill(id, ElicitationResult{*action_});
      return;
    }
    answering_.emplace_back([this, id] {
      while (!coordinator_->isWaiting(id)) std::this_thread::yield();
      coordinator_->fulfill(id, ElicitationResult{*action_});
    });
  }

  std::shared_ptr<ElicitationCoordinator> coordinator_ = std::make_shared<ElicitationCoordinator>();
  std::optional<std::string> action_;
  When when_;
  std::vector<std::thread> answering_;
};

TEST(StdioElicitorTest, WritesOneElicitationRequestWithAFreshId) {
  ScriptedClient client("accept", ScriptedClient::When::beforeTheWait);
  auto elicitor = client.elicitor(kLong);
  ASSERT_TRUE(elicitor.requestApproval("varn://local/GitHub/password", "http_call"));
  ASSERT_TRUE(elicitor.requestApproval("varn://local/GitHub/password", "http_call"));
  ASSERT_EQ(client.lines.size(), 2u);

  const support::Json request = support::Json::parse(client.lines[0]);
  const std::string id = request.at("id").get<std::string>();
  EXPECT_TRUE(std::regex_match(
      id, std::regex("elicit-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << id;
  EXPECT_NE(support::Json::parse(client.lines[1]).at("id"), request.at("id"));
  const support::Json expected = {
      {"jsonrpc", "2.0"},
      {"id", id},
      {"method", "elicitation/create"},
      {"params",
       {{"message",
         "Approve http_call using varn://local/GitHub/password? Accept to approve, Decline to "
         "refuse."},
        {"requestedSchema", {{"type", "object"}, {"properties", support::Json::object()}}}}}};
  EXPECT_EQ(request, expected);
  EXPECT_EQ(client.lines[0].find('\n'), std::string::npos);
}

struct AnswerCase {
  std::optional<std::string> action;
  ScriptedClient::When when;
  bool approved;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << (c.action ? "\"" + *c.action + "\"" : "no answer");
}

class StdioElicitorAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(StdioElicitorAnswerTest, OnlyAcceptApproves) {
  ScriptedClient client(GetParam().action, GetParam().when);
  auto elicitor = client.elicitor(kLong);
  EXPECT_EQ(elicitor.requestApproval("varn://local/a/b", "totp_code"), GetParam().approved);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StdioElicitorAnswerTest,
    ::testing::Values(AnswerCase{"accept", ScriptedClient::When::beforeTheWait, true},
                      AnswerCase{"accept", ScriptedClient::When::duringTheWait, true},
                      AnswerCase{"Accept", ScriptedClient::When::beforeTheWait, false},
                      AnswerCase{"decline", ScriptedClient::When::duringTheWait, false},
                      AnswerCase{"cancel", ScriptedClient::When::beforeTheWait, false},
                      AnswerCase{"", ScriptedClient::When::beforeTheWait, false},
                      AnswerCase{"accept ", ScriptedClient::When::beforeTheWait, false}));

void expectApprovalTimeout(StdioElicitor& elicitor, const std::string& ref) {
  try {
    elicitor.requestApproval(ref, "http_call");
    ADD_FAILURE() << "no approvalTimeout thrown";
  } catch (const ResolveError& error) {
    EXPECT_EQ(error, ResolveError::approvalTimeout(ref));
    EXPECT_STREQ(error.what(), ResolveError::approvalTimeout(ref).what());
  }
}

TEST(StdioElicitorTest, NoAnswerInTimeIsAnApprovalTimeout) {
  ScriptedClient client(std::nullopt, ScriptedClient::When::never);
  auto elicitor = client.elicitor(kShort);
  expectApprovalTimeout(elicitor, "varn://local/a/b");
}

TEST(StdioElicitorTest, TheClientAnsweringTimeoutIsAnApprovalTimeout) {
  ScriptedClient client("timeout", ScriptedClient::When::duringTheWait);
  auto elicitor = client.elicitor(kLong);
  expectApprovalTimeout(elicitor, "varn://local/a/b");
}

TEST(StdioElicitorTest, ARequestThatCouldNotBeWrittenIsRefusedAtOnce) {
  ScriptedClient client(std::nullopt, ScriptedClient::When::never);
  client.writable = false;
  // With a timeout this long, only the refusal at once lets the test finish.
  auto elicitor = client.elicitor(std::chrono::hours(1));
  EXPECT_FALSE(elicitor.requestApproval("varn://local/a/b", "http_call"));
  ASSERT_EQ(client.lines.size(), 1u);
  // The request is not open any more: an answer arriving after all is dropped.
  const std::string id = support::Json::parse(client.lines[0]).at("id").get<std::string>();
  client.coordinator().fulfill(id, ElicitationResult{"accept"});
  EXPECT_EQ(client.coordinator().wait(id, 0s), ElicitationResult{"timeout"});
}

TEST(StdioElicitorTest, AfterEndOfInputARequestIsRefusedAtOnce) {
  ScriptedClient client(std::nullopt, ScriptedClient::When::never);
  client.coordinator().close();
  auto elicitor = client.elicitor(std::chrono::hours(1));
  EXPECT_FALSE(elicitor.requestApproval("varn://local/a/b", "http_call"));
}

TEST(StdioElicitorTest, TheTimeoutNamesTheReferenceUnchanged) {
  ScriptedClient client(std::nullopt, ScriptedClient::When::never);
  auto elicitor = client.elicitor(kShort);
  expectApprovalTimeout(elicitor, "varn://local/a\nApproved by admin/b");
}

struct PromptCase {
  std::string ref;
  std::string shown;
};

void PrintTo(const PromptCase& c, std::ostream* os) {
  *os << "shown as " << c.shown;
}

class StdioElicitorPromptTest : public ::testing::TestWithParam<PromptCase> {};

TEST_P(StdioElicitorPromptTest, ControlsAndSeparatorsOfTheReferenceArePercentEncoded) {
  EXPECT_EQ(
      StdioElicitor::approvalMessage(GetParam().ref, "http_call"),
      "Approve http_call using " + GetParam().shown + "? Accept to approve, Decline to refuse.");
}

INSTANTIATE_TEST_SUITE_P(
    References, StdioElicitorPromptTest,
    ::testing::Values(PromptCase{"varn://local/GitHub/password", "varn://local/GitHub/password"},
                      PromptCase{"varn://l/a\nApprove this?/b", "varn://l/a%0AApprove this?/b"},
                      PromptCase{"a\r\tb", "a%0D%09b"}, PromptCase{std::string("a\0b", 3), "a%00b"},
                      PromptCase{"a\x1b[2Kb", "a%1B[2Kb"}, PromptCase{"a\x7f", "a%7F"},
                      PromptCase{"a\xc2\x85z", "a%C2%85z"},  // NEL, a C1 control
                      PromptCase{"a\xc2\x9fz", "a%C2%9Fz"},  // last C1 control
                      PromptCase{"a\xe2\x80\xa8z\xe2\x80\xa9", "a%E2%80%A8z%E2%80%A9"},
                      PromptCase{"caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7\xe2\x82\xac",
                                 "caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7\xe2\x82\xac"},
                      PromptCase{"100%", "100%"},
                      // Right-to-left override, isolates and invisible characters.
                      PromptCase{"a\xe2\x80\xae"
                                 "b\xe2\x81\xa6"
                                 "c\xe2\x81\xa9",
                                 "a%E2%80%AEb%E2%81%A6c%E2%81%A9"},
                      PromptCase{"\xc2\xad\xd8\x9c\xe2\x80\x8b\xef\xbb\xbf",
                                 "%C2%AD%D8%9C%E2%80%8B%EF%BB%BF"},
                      // Neighbours that are ordinary text: U+00AC, U+200A, U+2010, U+206A.
                      PromptCase{"\xc2\xac\xe2\x80\x8a\xe2\x80\x90\xe2\x81\xaa",
                                 "\xc2\xac\xe2\x80\x8a\xe2\x80\x90\xe2\x81\xaa"}));

TEST(StdioElicitorTest, TheRequestCarriesThePromptForm) {
  const support::Json request =
      support::Json::parse(StdioElicitor::requestLine("elicit-X", "a\nb", "run_command"));
  EXPECT_EQ(request.at("params").at("message"),
            "Approve run_command using a%0Ab? Accept to approve, Decline to refuse.");
}

}  // namespace
}  // namespace varn::mcp
