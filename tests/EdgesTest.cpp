// The server at its edges, one row each: what leads a line, every cap to the byte, an audit file
// at a size limit, references that cannot all be released, and the end of input or an answer
// behind a full read-ahead. Each row checks the replies, the audit file and what reached the
// vault; after each, no released value appears in a reply, on standard error or in the file.

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
// The caps the README states.
constexpr std::size_t kMaxReplyLine = 128 * kMiB;  // line feed included
constexpr std::size_t kMaxInputLine = 16 * kMiB;   // line feed excluded
constexpr std::size_t kReadAhead = 16 * kMiB;
constexpr std::size_t kMaxReplies = 5'000;

const std::string kOtpRef = "varn://local/GitHub/otp";
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string kTokenRef = "varn://local/API/token";

VaultReply allowed(const std::string& value, const Json& extra = Json::object()) {
  Json reply{{"decision", "allowed"}, {"value", value}};
  reply.update(extra);
  return VaultReply::line(reply.dump());
}

struct Edge;

// The rows of the table below drive the server through what this fixture opens to them.
class EdgesTest : public ServerTest, public testing::WithParamInterface<Edge> {
 public:
  using ServerTest::call;
  using ServerTest::leaks;
  using ServerTest::nextId;
  using ServerTest::server;
  using ServerTest::vault;

  [[nodiscard]] std::string auditPath() const {
    return home + "/Library/Application Support/Varn/mcp-audit.log";
  }
  // The audit file's bytes ("" when there is none).
  [[nodiscard]] std::string auditText() const {
    std::ifstream file(auditPath(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  // The decision word of every line; a line that is not a whole entry gives "broken".
  [[nodiscard]] std::vector<std::string> auditDecisions() const {
    std::vector<std::string> words;
    const std::string text = auditText();
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t feed = text.find('\n', start);
      const std::optional<Json> entry =
          support::parseJson(text.substr(start, feed == std::string::npos ? feed : feed - start));
      const bool whole = feed != std::string::npos && entry && entry->is_object();
      words.push_back(whole ? entry->value("decision", "?") : "broken");
      start = feed == std::string::npos ? text.size() : feed + 1;
    }
    return words;
  }
  [[nodiscard]] std::vector<std::string> vaultOps() const {
    std::vector<std::string> ops;
    for (const RecordedRequest& request : vault->requests()) ops.push_back(request.op);
    return ops;
  }
  // The next line, parsed; a failure is recorded when none comes.
  Json nextReply() {
    std::optional<std::string> line = server->readLine();
    if (!line) {
      ADD_FAILURE() << "no reply (server " << describe(server->waitForExit(std::chrono::seconds(0)))
                    << ")";
      return Json::object();
    }
    return parseReply(*line).value_or(Json::object());
  }
  // A totp_code call whose release waits for an approval: its approval request's id.
  Json callAwaitingApproval(int id) {
    vault->answer("resolve", kOtpRef, VaultReply::line(R"({"decision":"needs_approval"})"));
    vault->answer("resolve", kOtpRef, allowed(kSeed), /*approved=*/true);
    EXPECT_TRUE(server->sendLine(toolsCall(id, "totp_code", {{"ref", kOtpRef}})));
    return nextReply().value("id", Json());
  }
  // kMaxReplies pings: the server pauses reading after the last of them, for their replies wait
  // behind the call in front.
  std::string pingsToThePause() {
    std::string pings;
    for (std::size_t i = 1; i <= kMaxReplies; ++i) pings += request(1000 + i, "ping") + "\n";
    return pings;
  }
  // Lines without a reply, `bytes` in all.
  static std::string silentLines(std::size_t bytes) {
    const std::string head = R"({"jsonrpc":"2.0","method":"notifications/initialized","p":")";
    std::string lines;
    while (lines.size() < bytes) {
      const std::size_t pad = std::min<std::size_t>(64 * 1024, bytes - lines.size());
      lines += head + std::string(pad > head.size() + 3 ? pad - head.size() - 3 : 0, 'x') + "\"}\n";
    }
    return lines;
  }
  void expectPingReplies() {
    for (std::size_t i = 1; i <= kMaxReplies; ++i) {
      if (nextReply() != Json{{"jsonrpc", "2.0"}, {"id", 1000 + i}, {"result", Json::object()}}) {
        ADD_FAILURE() << "ping " << i << " was not answered in its turn";
        return;
      }
    }
  }
};

struct Edge {
  std::string name;
  std::function<void(EdgesTest&)> run;
};

void PrintTo(const Edge& edge, std::ostream* out) {
  *out << edge.name;
}

TEST_P(EdgesTest, HoldsToTheByte) {
  startVault();
  startServer();
  GetParam().run(*this);
  expectCleanExit();
}

// secret_list's reply line for one entry whose name holds `quotes` double quotes and `letters`
// letters: each quote takes two bytes from the vault and four in the reply line.
std::size_t listReplyLength(EdgesTest& t, std::size_t quotes, std::size_t letters);

const Edge kEdges[] = {
    {"AByteOrderMarkBeforeAPingAndBeforeAToolCall",
     [](EdgesTest& t) {
       t.vault->answer("list", VaultReply::line("[]"));
       ASSERT_TRUE(t.server->sendLine("\xEF\xBB\xBF" + request(5, "ping")));
       EXPECT_EQ(t.server->readLine(), R"({"jsonrpc":"2.0","id":5,"result":{}})");
       ASSERT_TRUE(t.server->sendLine("\xEF\xBB\xBF \t" + toolsCall("a b", "secret_list")));
       Json reply = t.nextReply();
       EXPECT_EQ(reply.value("id", Json()), "a b");
       EXPECT_EQ(toolResult(reply), (ToolResult{R"({"items":[]})", false}));
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>{"list"});
       EXPECT_EQ(t.auditText(), "");
     }},
    {"AReplyLineAtTheCapAndOneAndTwoBytesPast",
     [](EdgesTest& t) {
       // The line's length grows by four per quote and one per letter (calibrated on a short
       // one), while the vault's reply grows by two and one: it stays within its own cap.
       const std::size_t fixed = listReplyLength(t, 1, 1) - 5;
       const std::size_t letters = (kMaxReplyLine - fixed) % 4;
       const std::size_t quotes = (kMaxReplyLine - fixed - letters) / 4;
       for (std::size_t past : {0, 1, 2}) {
         SCOPED_TRACE(past);
         EXPECT_EQ(listReplyLength(t, quotes, letters + past), past == 0 ? kMaxReplyLine : 0);
       }
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>(4, "list"));
       EXPECT_EQ(t.auditText(), "");
     }},
    {"AnInputLineAtTheCapAndOneBytePast",
     [](EdgesTest& t) {
       for (std::size_t past : {0, 1}) {
         const std::string head =
             R"({"jsonrpc":"2.0","id":)" + std::to_string(past) + R"(,"method":"ping","p":")";
         ASSERT_TRUE(t.server->sendLine(
             head + std::string(kMaxInputLine + past - head.size() - 2, 'a') + "\"}"));
       }
       ASSERT_TRUE(t.server->sendLine(request(2, "ping")));
       EXPECT_EQ(t.nextReply().value("id", Json()), 0);
       EXPECT_EQ(t.nextReply().value("id", Json()), 2);
       EXPECT_TRUE(t.vaultOps().empty());
     }},
    {"AnAuditFileAtASizeLimitThenTwoMoreCalls",
     [](EdgesTest& t) {
       t.leaks.secret(kSeed);
       t.vault->answer("resolve", allowed(kSeed));
       EXPECT_FALSE(t.call("totp_code", {{"ref", kOtpRef}}).isError);
       const std::size_t line = t.auditText().size();
       ASSERT_GT(line, 0u);
       // The next line fits half-way.
       ASSERT_TRUE(t.server->limitFileSize(line + line / 2));
       for (int call = 0; call < 2; ++call) {
         EXPECT_FALSE(t.call("totp_code", {{"ref", kOtpRef}}).isError);
       }
       EXPECT_EQ(t.auditDecisions(), std::vector<std::string>{"allowed"});
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>(3, "resolve"));
       const std::string failed =
           "varn-mcp: audit write failed: cannot write " + t.auditPath() + ": File too large\n";
       t.server->closeInput();
       (void)t.server->waitForExit();
       EXPECT_EQ(t.server->stderrText(), failed + failed);
     }},
    {"OneSecretUnder256NamesIsResolvedOnceAndTooManyReferencesReleaseNothing",
     [](EdgesTest& t) {
       t.leaks.secret("s3cr3t-value");
       t.vault->answer("resolve",
                       allowed("s3cr3t-value", {{"allowed_commands", Json::array({"/bin/sh"})}}));
       Json names = Json::object();
       for (int i = 0; i < 256; ++i) names["N" + std::to_string(1000 + i)] = kTokenRef;
       const ToolResult ran =
           t.call("run_command",
                  {{"argv", {"/bin/sh", "-c", R"([ -n "$N1000" ] && [ "$N1000" = "$N1255" ])"}},
                   {"env_refs", names}});
       EXPECT_EQ(ran.text, R"({"exit":0,"stdout":"","stderr":""})");
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>{"resolve"});
       // 61 distinct references: the tool's limit (60 a minute) cannot take them all.
       Json refs = Json::object();
       for (int i = 0; i < 61; ++i) {
         refs["R" + std::to_string(100 + i)] = "varn://local/R" + std::to_string(100 + i) + "/p";
       }
       EXPECT_EQ(t.call("run_command", {{"argv", {"/bin/true"}}, {"env_refs", refs}}),
                 (ToolResult{"error: rate limited (varn://local/R100/p) — too many resolves; "
                             "slow down and retry",
                             true}));
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>{"resolve"});
       EXPECT_EQ(t.auditDecisions(), (std::vector<std::string>{"allowed", "rate_limited"}));
     }},
    {"EndOfInputBehindAFullReadAheadCancelsThePendingApproval",
     [](EdgesTest& t) {
       ASSERT_TRUE(t.server->growInputPipe(kMiB));
       ASSERT_TRUE(t.callAwaitingApproval(1).is_string());
       // Past the read-ahead by less than the pipe holds, so every byte is taken before the end.
       ASSERT_TRUE(t.server->send(t.pingsToThePause() + t.silentLines(kReadAhead + kMiB / 4)));
       t.server->closeInput();
       EXPECT_EQ(
           toolResult(t.nextReply()),
           (ToolResult{"error: denied — the human declined the Touch ID approval for " + kOtpRef,
                       true}));
       t.expectPingReplies();
       EXPECT_EQ(t.vaultOps(), std::vector<std::string>{"resolve"});
       EXPECT_EQ(t.auditDecisions(), std::vector<std::string>{"denied"});
     }},
    {"AnAnswerOver64KiBBehindAPauseReleasesItsCall",
     [](EdgesTest& t) {
       t.leaks.secret(kSeed);
       const Json id = t.callAwaitingApproval(1);
       const Json answer{{"jsonrpc", "2.0"},
                         {"id", id},
                         {"result", {{"action", "accept"}, {"content", Json::object()}}},
                         {"_meta", {{"note", std::string(100 * 1024, 'n')}}}};
       ASSERT_TRUE(t.server->send(t.pingsToThePause() + answer.dump() + "\n"));
       const std::optional<ToolResult> code = toolResult(t.nextReply());
       ASSERT_TRUE(code);
       EXPECT_FALSE(code->isError) << code->text;
       t.expectPingReplies();
       EXPECT_EQ(t.vaultOps(), (std::vector<std::string>{"resolve", "resolve"}));
       EXPECT_EQ(t.auditDecisions(), std::vector<std::string>{"approved"});
     }},
};

std::size_t listReplyLength(EdgesTest& t, std::size_t quotes, std::size_t letters) {
  std::string name;
  name.reserve(2 * quotes + letters);
  for (std::size_t i = 0; i < quotes; ++i) name += "\\\"";
  name.append(letters, 'a');
  t.vault->enqueue(VaultReply::line(R"([{"ref":"r","name":")" + name +
                                    R"(","type":"t","ai_access":"injectable"}])"));
  std::string().swap(name);
  const int id = t.nextId();
  EXPECT_TRUE(t.server->sendLine(toolsCall(id, "secret_list")));
  // Escaping and piping 128 MiB takes long under a sanitizer: only a hang fails this guard.
  std::optional<std::string> line = t.server->readLine(std::chrono::minutes(10));
  if (!line) {
    ADD_FAILURE() << "no reply";
    return 0;
  }
  const std::size_t length = line->size() + 1;
  if (length > kMaxReplyLine) ADD_FAILURE() << "a reply line of " << length << " bytes";
  if (line->find(R"("isError":true)") != std::string::npos) {
    EXPECT_NE(line->find("the result is longer than the 134217728 bytes of a reply line"),
              std::string::npos);
    return 0;
  }
  return length;
}

INSTANTIATE_TEST_SUITE_P(Edges, EdgesTest, testing::ValuesIn(kEdges),
                         [](const testing::TestParamInfo<Edge>& row) { return row.param.name; });

}  // namespace
}  // namespace varn::tests
