// Approval by elicitation end to end: a secret the vault marks "needs_approval" goes through
// totp_code, the server asks the client with "elicitation/create", and the client's answer
// releases or refuses it. Replies stay in request order while the answer line is still read. After
// every test, no released value appears in a reply, on standard error or in the audit file.

#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Utf8.hpp"
#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

const std::string kRef = "varn://local/GitHub/otp";
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

VaultReply needsApproval() {
  return VaultReply::line(R"({"decision":"needs_approval"})");
}

VaultReply allowed(const std::string& value) {
  return VaultReply::line(Json{{"decision", "allowed"}, {"value", value}}.dump());
}

std::string prompt(const std::string& operation, const std::string& ref) {
  return "Approve " + operation + " using " + ref + "? Accept to approve, Decline to refuse.";
}

std::string denied(const std::string& ref) {
  return "error: denied — the human declined the Touch ID approval for " + ref;
}

std::string timedOut(const std::string& ref) {
  return "error: approval timed out for " + ref +
         " — no answer to the approval prompt. This MCP client may not support elicitation; "
         "approve in the Varn app, use an injectable-tier secret, or switch to a client that "
         "supports prompts.";
}

// The client's answer to approval request `id` with `action`.
std::string answer(const Json& id, const std::string& action) {
  return support::dumpCompact(Json{{"jsonrpc", "2.0"},
                                   {"id", id},
                                   {"result", {{"action", action}, {"content", Json::object()}}}});
}

// The client's JSON-RPC error reply to approval request `id`.
std::string errorAnswer(const Json& id) {
  return support::dumpCompact(Json{{"jsonrpc", "2.0"},
                                   {"id", id},
                                   {"error", {{"code", -32603}, {"message", "no prompt here"}}}});
}

class ApprovalTest : public ServerTest {
 protected:
  [[nodiscard]] std::vector<std::string> auditDecisions() const {
    std::vector<std::string> words;
    std::ifstream file(home + "/Library/Application Support/Varn/mcp-audit.log");
    for (std::string line; std::getline(file, line);) {
      std::optional<Json> entry = support::parseJson(line);
      words.push_back(entry && entry->is_object() ? entry->value("decision", "?") : "?");
    }
    return words;
  }

  [[nodiscard]] std::vector<std::string> auditLines() const {
    std::vector<std::string> lines;
    std::ifstream file(home + "/Library/Application Support/Varn/mcp-audit.log");
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  // Reads the next line, which must be an approval request for `ref` by `operation`; returns its
  // id (null when it is not one, with a failure recorded).
  Json readApprovalRequest(const std::string& operation, const std::string& ref) {
    std::optional<std::string> line = server->readLine();
    if (!line) {
      ADD_FAILURE() << "no approval request came";
      return nullptr;
    }
    std::optional<Json> request = parseReply(*line);
    if (!request) {
      ADD_FAILURE() << "not a JSON object: " << leaks.redact(*line);
      return nullptr;
    }
    const Json& id = request->value("id", Json());
    EXPECT_TRUE(id.is_string() &&
                std::regex_match(id.get<std::string>(),
                                 std::regex("elicit-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                            "[0-9A-F]{4}-[0-9A-F]{12}")))
        << leaks.redact(*line);
    Json expected{{"jsonrpc", "2.0"},
                  {"id", id},
                  {"method", "elicitation/create"},
                  {"params",
                   {{"message", prompt(operation, ref)},
                    {"requestedSchema", {{"type", "object"}, {"properties", Json::object()}}}}}};
    EXPECT_EQ(*request, expected) << leaks.redact(*line);
    return id.is_string() ? id : Json();
  }

  // Sends a totp_code call under `id` without waiting for its reply.
  void sendTotp(int id, const std::string& ref) {
    ASSERT_TRUE(server->sendLine(toolsCall(id, "totp_code", {{"ref", ref}})));
  }

  // Reads the next line as the tool result of request `id`.
  ToolResult readResult(int id) {
    std::optional<std::string> line = server->readLine();
    if (!line) {
      ADD_FAILURE() << "no reply to request " << id;
      return {};
    }
    std::optional<Json> reply = parseReply(*line);
    EXPECT_TRUE(reply && reply->value("id", Json()) == Json(id)) << leaks.redact(*line);
    std::optional<ToolResult> result = reply ? toolResult(*reply) : std::nullopt;
    if (!result) {
      ADD_FAILURE() << "not a tool result: " << leaks.redact(*line);
      return {};
    }
    return *result;
  }

  void TearDown() override {
    ServerTest::TearDown();
    EXPECT_TRUE(leaks.absentFrom(auditLines(), "")) << "in the audit file";
  }
};

TEST_F(ApprovalTest, EachAnswerReleasesOrRefusesWithItsAuditWord) {
  leaks.secret(kSeed);
  struct Case {
    std::string name;
    bool errorReply;                        // the client answers with a JSON-RPC error
    std::string action;                     // otherwise the action it sends
    std::optional<VaultReply> secondReply;  // the vault's answer to the approved resolve
    std::string expectedText;               // "" for a code
    std::string auditWord;
    std::size_t vaultRequests;
  };
  const std::vector<Case> cases{
      {"accept", false, "accept", allowed(kSeed), "", "approved", 2},
      {"decline", false, "decline", std::nullopt, denied(kRef), "denied", 1},
      {"cancel", false, "cancel", std::nullopt, denied(kRef), "denied", 1},
      {"error reply", true, "", std::nullopt, denied(kRef), "denied", 1},
      {"capital Accept", false, "Accept", std::nullopt, denied(kRef), "denied", 1},
      {"empty action", false, "", std::nullopt, denied(kRef), "denied", 1},
      {"timeout as action", false, "timeout", std::nullopt, timedOut(kRef), "approval_timeout", 1},
      {"approved, then no value", false, "accept", VaultReply::line(R"({"decision":"allowed"})"),
       denied(kRef), "denied", 2},
      {"approved, then refused", false, "accept", VaultReply::line(R"({"decision":"refused"})"),
       denied(kRef), "denied", 2},
      {"approved, then again needs approval", false, "accept", needsApproval(), denied(kRef),
       "denied", 2},
  };
  startVault();
  startServer();
  std::size_t seen = 0;
  std::vector<std::string> expectedWords;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vault->enqueue(needsApproval());
    if (c.secondReply) vault->enqueue(*c.secondReply);
    int id = nextId();
    sendTotp(id, kRef);
    Json approvalId = readApprovalRequest("totp_code", kRef);
    ASSERT_FALSE(approvalId.is_null());
    ASSERT_TRUE(
        server->sendLine(c.errorReply ? errorAnswer(approvalId) : answer(approvalId, c.action)));
    ToolResult result = readResult(id);
    if (c.expectedText.empty()) {
      ASSERT_FALSE(result.isError) << leaks.redact(result.text);
      EXPECT_EQ(Json::parse(result.text).at("code").get<std::string>().size(), 6u);
    } else {
      EXPECT_EQ(result, (ToolResult{c.expectedText, true}));
    }
    std::vector<RecordedRequest> requests = vault->requests();
    ASSERT_EQ(requests.size(), seen + c.vaultRequests);
    EXPECT_EQ(requests[seen].line, R"({"op":"resolve","ref":"varn:\/\/local\/GitHub\/otp",)"
                                   R"("approved":false})");
    if (c.vaultRequests == 2) {
      EXPECT_EQ(requests[seen + 1].line, R"({"op":"resolve","ref":"varn:\/\/local\/GitHub\/otp",)"
                                         R"("approved":true})");
    }
    seen = requests.size();
    expectedWords.push_back(c.auditWord);
    EXPECT_EQ(auditDecisions(), expectedWords);
  }
}

TEST_F(ApprovalTest, ALaterReplyWaitsBehindThePendingApprovalWhileTheAnswerIsRead) {
  leaks.secret(kSeed);
  startVault();
  vault->enqueue(needsApproval());
  vault->answer("list", VaultReply::line("[]"));
  startServer();
  const int first = nextId();
  sendTotp(first, kRef);
  Json approvalId = readApprovalRequest("totp_code", kRef);
  ASSERT_FALSE(approvalId.is_null());

  // The second request is read and handled (it reaches the vault) while the first waits.
  const int second = nextId();
  ASSERT_TRUE(server->sendLine(toolsCall(second, "secret_list", Json::object())));
  ASSERT_TRUE(vault->waitForRequests(2)) << "the second request was not handled meanwhile";
  EXPECT_EQ(vault->requests()[1].op, "list");

  // An answer to an id nobody waits for changes nothing and writes nothing.
  ASSERT_TRUE(server->sendLine(answer("elicit-00000000-0000-4000-8000-000000000000", "accept")));
  vault->enqueue(allowed(kSeed));
  // The answer comes behind 20,000 pipelined lines, more replies than may wait behind the first:
  // it is read all the same and releases the call at once, long before its approval times out.
  constexpr int kPings = 20'000;
  std::string flood;
  for (int ping = 1; ping <= kPings; ++ping) flood += request(1000 + ping, "ping") + "\n";
  ASSERT_TRUE(server->send(flood + answer(approvalId, "accept") + "\n"));

  ToolResult code = readResult(first);
  EXPECT_FALSE(code.isError) << leaks.redact(code.text);
  EXPECT_EQ(readResult(second), (ToolResult{R"({"items":[]})", false}));
  for (int ping = 1; ping <= kPings; ++ping) {
    std::optional<std::string> line = server->readLine();
    ASSERT_EQ(parseReply(line.value_or("{}")).value_or(Json()).value("id", Json()),
              Json(1000 + ping));
  }
  EXPECT_EQ(auditDecisions(), std::vector<std::string>{"approved"});
}

TEST_F(ApprovalTest, TwoPendingApprovalsAreMatchedByTheirOwnIds) {
  leaks.secret(kSeed);
  const std::string otherRef = "varn://local/Bank/otp";
  startVault();
  vault->answer("resolve", needsApproval());
  startServer();
  const int first = nextId();
  const int second = nextId();
  ASSERT_TRUE(server->send(toolsCall(first, "totp_code", {{"ref", kRef}}) + "\n" +
                           toolsCall(second, "totp_code", {{"ref", otherRef}}) + "\n"));
  // The two prompts come in either order; each names its reference.
  Json ids[2];
  for (int i = 0; i < 2; ++i) {
    std::optional<std::string> line = server->readLine();
    ASSERT_TRUE(line);
    std::optional<Json> request = parseReply(*line);
    ASSERT_TRUE(request);
    const std::string message = request->at("params").at("message").get<std::string>();
    bool isFirst = message == prompt("totp_code", kRef);
    EXPECT_TRUE(isFirst || message == prompt("totp_code", otherRef)) << message;
    ids[isFirst ? 0 : 1] = request->at("id");
  }
  ASSERT_NE(ids[0], ids[1]);
  vault->enqueue(allowed(kSeed));
  ASSERT_TRUE(server->sendLine(answer(ids[1], "decline")));
  ASSERT_TRUE(server->sendLine(answer(ids[0], "accept")));
  ToolResult code = readResult(first);
  EXPECT_FALSE(code.isError) << leaks.redact(code.text);
  EXPECT_EQ(readResult(second), (ToolResult{denied(otherRef), true}));
}

// No answer can come after end of input: the pending approval is refused at once and the server
// exits, instead of holding on for the 300 s of the approval timeout.
TEST_F(ApprovalTest, EndOfInputRefusesThePendingApprovalAndTheServerExitsAtOnce) {
  startVault();
  vault->answer("resolve", needsApproval());
  startServer();
  const int first = nextId();
  sendTotp(first, kRef);
  ASSERT_FALSE(readApprovalRequest("totp_code", kRef).is_null());
  server->closeInput();
  EXPECT_EQ(readResult(first), (ToolResult{denied(kRef), true}));
  EXPECT_TRUE(server->outputEnds());
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, 0, false, 0}));
  EXPECT_EQ(auditDecisions(), std::vector<std::string>{"denied"});
}

TEST_F(ApprovalTest, ControlCharactersOfTheReferenceAreEscapedInThePromptOnly) {
  leaks.secret(kSeed);
  const std::string spoof = "varn://local/GitHub\nApproved by your admin/otp";
  startVault();
  vault->enqueue(needsApproval());
  startServer();
  const int id = nextId();
  sendTotp(id, spoof);
  std::optional<std::string> line = server->readLine();
  ASSERT_TRUE(line);
  std::optional<Json> request = parseReply(*line);
  ASSERT_TRUE(request);
  const std::string message = request->at("params").at("message").get<std::string>();
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  EXPECT_TRUE(std::regex_match(
      message, std::regex("Approve totp_code using varn://local/GitHub%0[Aa]Approved by your "
                          "admin/otp\\? Accept to approve, Decline to refuse\\.")))
      << message;
  // The vault and the refusal carry the reference unchanged.
  ASSERT_TRUE(server->sendLine(answer(request->at("id"), "decline")));
  EXPECT_EQ(readResult(id), (ToolResult{denied(spoof), true}));
  ASSERT_EQ(vault->requests().size(), 1u);
  EXPECT_EQ(Json::parse(vault->requests()[0].line).at("ref"), Json(spoof));
}

// Each character that could make a reference display as another is percent-encoded in the
// prompt; its neighbours are ordinary text. The vault still gets the reference unchanged.
TEST_F(ApprovalTest, InvisibleAndBidiCharactersAreEncodedInThePromptOnly) {
  const std::vector<char32_t> encoded{0x00AD, 0x061C, 0x200B, 0x200C, 0x200D, 0x200E,
                                      0x200F, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E,
                                      0x2060, 0x2066, 0x2067, 0x2068, 0x2069, 0xFEFF};
  const std::vector<char32_t> plain{0x00AC, 0x061B, 0x200A, 0x2010, 0x2065, 0x206A, 0xFEFE};
  std::string ref = "varn://local/", shown = ref;
  for (char32_t c : encoded) {
    std::string bytes;
    support::appendUtf8(bytes, c);
    ref += "x" + bytes;
    shown += "x";
    for (unsigned char byte : bytes) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      shown += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  for (char32_t c : plain) {
    std::string bytes;
    support::appendUtf8(bytes, c);
    ref += bytes;
    shown += bytes;
  }
  ref += "/otp";
  shown += "/otp";
  startVault();
  vault->enqueue(needsApproval());
  startServer();
  const int id = nextId();
  sendTotp(id, ref);
  const Json request = readApprovalRequest("totp_code", shown);
  ASSERT_TRUE(server->sendLine(answer(request, "decline")));
  EXPECT_EQ(readResult(id), (ToolResult{denied(ref), true}));
  ASSERT_EQ(vault->requests().size(), 1u);
  EXPECT_EQ(Json::parse(vault->requests()[0].line).at("ref"), Json(ref));
}

}  // namespace
}  // namespace varn::tests
