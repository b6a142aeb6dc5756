// The guarded resolve road end to end through totp_code and mint_token: the kill switch, the rate
// limits, the audit file, minted handles, and codes that match what oathtool computes for the seed
// the fake vault hands out. After every test, no released value appears in a reply, on standard
// error or in the audit file.

#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

const std::string kRef = "varn://local/GitHub/otp";

// The fake vault's release of `value`, with the bindings when given.
VaultReply allowed(const std::string& value,
                   const std::optional<std::vector<std::string>>& hosts = std::nullopt,
                   const std::optional<std::vector<std::string>>& commands = std::nullopt) {
  Json reply{{"decision", "allowed"}, {"value", value}};
  if (hosts) reply["allowed_hosts"] = *hosts;
  if (commands) reply["allowed_commands"] = *commands;
  return VaultReply::line(reply.dump());
}

// The exact line the server sends to the vault for a resolve.
std::string resolveRequest(const std::string& ref, bool approved) {
  return R"({"op":"resolve","ref":")" + support::dumpEscapingSlashes(Json(ref)).substr(1) +
         R"(,"approved":)" + (approved ? "true}" : "false}");
}

// What `oathtool --totp -b <seed>` prints, without its line feed ("" when it cannot run).
std::string oathtool(const std::string& base32Seed) {
  std::string command = "oathtool --totp -b " + base32Seed + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char buffer[64] = {};
  std::string out;
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::int64_t periodNow() {
  return static_cast<std::int64_t>(std::time(nullptr)) / 30;
}

class ResolveRoadTest : public ServerTest {
 protected:
  [[nodiscard]] std::string auditPath() const {
    return home + "/Library/Application Support/Varn/mcp-audit.log";
  }

  // The audit file's lines, raw.
  [[nodiscard]] std::vector<std::string> auditLines() const {
    std::vector<std::string> lines;
    std::ifstream file(auditPath());
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  // The audit file's entries without their time stamps, for comparing with expected entries.
  [[nodiscard]] std::vector<Json> auditEntries() const {
    std::vector<Json> entries;
    for (const std::string& line : auditLines()) {
      std::optional<Json> entry = support::parseJson(line);
      if (!entry || !entry->is_object()) {
        ADD_FAILURE() << "audit line is not a JSON object: " << leaks.redact(line);
        continue;
      }
      entry->erase("ts");
      entries.push_back(*entry);
    }
    return entries;
  }

  static Json entry(const std::string& tool, const std::string& ref, const std::string& decision) {
    return Json{{"tool", tool}, {"ref", ref}, {"decision", decision}};
  }

  [[nodiscard]] std::map<std::string, std::string> environmentWith(const std::string& name,
                                                                   const std::string& value) const {
    std::map<std::string, std::string> env = defaultEnvironment();
    env[name] = value;
    return env;
  }

  // totp_code for `ref`, checked against oathtool for `seed` within one 30 s period; retried once
  // when the period turned during the call.
  void expectCodeOf(const std::string& ref, const std::string& seed) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::int64_t before = periodNow();
      ToolResult result = call("totp_code", {{"ref", ref}});
      std::string expected = oathtool(seed);
      if (periodNow() != before) continue;
      ASSERT_FALSE(result.isError) << leaks.redact(result.text);
      Json output = Json::parse(result.text);
      ASSERT_EQ(expected.size(), 6u) << "oathtool did not run";
      EXPECT_EQ(output.at("code"), Json(expected));
      ASSERT_TRUE(output.at("remaining_seconds").is_number_integer());
      // 0 is right during the last fraction of a second of a period.
      EXPECT_GE(output.at("remaining_seconds").get<int>(), 0);
      EXPECT_LE(output.at("remaining_seconds").get<int>(), 30);
      EXPECT_EQ(output.size(), 2u);
      return;
    }
    ADD_FAILURE() << "the 30 s period turned during both attempts";
  }

  void TearDown() override {
    ServerTest::TearDown();
    EXPECT_TRUE(leaks.absentFrom(auditLines(), "")) << "in the audit file";
  }
};

TEST_F(ResolveRoadTest, TotpCodeOfABareSeedAndOfAnOtpauthUriMatchesOathtool) {
  const std::string seed = leaks.secret("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
  const std::string uri =
      leaks.secret("otpauth://totp/Example:alice?secret=" + seed + "&issuer=Example");
  startVault();
  vault->answer("resolve", allowed(seed));
  startServer();
  expectCodeOf(kRef, seed);
  vault.reset();  // the socket path is free again before the next vault binds it
  startVault();
  vault->answer("resolve", allowed(uri));
  expectCodeOf("varn://local/Example/otp", seed);
  ASSERT_FALSE(vault->requests().empty());
  EXPECT_EQ(vault->requests()[0].line, resolveRequest("varn://local/Example/otp", false));
}

TEST_F(ResolveRoadTest, AValueThatIsNoSeedFailsWithoutQuotingIt) {
  const std::string value = leaks.secret("this is no seed at all!");
  startVault();
  vault->answer("resolve", allowed(value));
  startServer();
  ToolResult result = call("totp_code", {{"ref", kRef}});
  EXPECT_TRUE(result.isError) << leaks.redact(result.text);
  EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << leaks.redact(result.text);
  EXPECT_EQ(auditEntries(), std::vector<Json>{entry("totp_code", kRef, "allowed")});
}

TEST_F(ResolveRoadTest, VaultRefusalAndMissingValueAreAuditedWithTheirWords) {
  startVault();
  vault->enqueue(VaultReply::line(R"({"decision":"refused"})"));
  vault->enqueue(VaultReply::line(R"({"decision":"allowed"})"));
  startServer();
  EXPECT_EQ(
      call("totp_code", {{"ref", kRef}}),
      (ToolResult{"error: refused — " + kRef + " is ai_hidden or the vault is locked", true}));
  EXPECT_EQ(call("totp_code", {{"ref", kRef}}),
            (ToolResult{"error: no value returned for " + kRef, true}));
  EXPECT_EQ(auditEntries(), (std::vector<Json>{entry("totp_code", kRef, "refused"),
                                               entry("totp_code", kRef, "no_value")}));
  ASSERT_EQ(vault->requests().size(), 2u);
  EXPECT_EQ(vault->requests()[0].line, resolveRequest(kRef, false));
}

TEST_F(ResolveRoadTest, KillSwitchValuesDecideWhetherTheRoadIsOpen) {
  const std::string seed = leaks.secret("JBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXP");
  struct Case {
    std::string value;
    bool active;
  };
  const std::vector<Case> cases{{"1", true},   {"TRUE", true},   {"Yes", true}, {"0", false},
                                {"on", false}, {" true", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("VARN_MCP_KILL_SWITCH=\"" + c.value + "\"");
    vault.reset();
    startVault();
    vault->answer("resolve", allowed(seed));
    startServer({}, environmentWith("VARN_MCP_KILL_SWITCH", c.value));
    ToolResult result = call("totp_code", {{"ref", kRef}});
    if (c.active) {
      EXPECT_EQ(
          result,
          (ToolResult{"error: kill switch active — Varn is refusing all automated access", true}));
      EXPECT_TRUE(vault->requests().empty());
    } else {
      EXPECT_FALSE(result.isError) << leaks.redact(result.text);
    }
    ServerTest::TearDown();
    server.reset();
  }
}

TEST_F(ResolveRoadTest, KillSwitchRefusesHandlesAndReferencesButNotMalformedOnes) {
  const std::string handle = "varnh_0F1E2D3C-4B5A-4968-8776-655443322110";
  startVault();
  startServer({}, environmentWith("VARN_MCP_KILL_SWITCH", "1"));
  const ToolResult killed{"error: kill switch active — Varn is refusing all automated access",
                          true};
  EXPECT_EQ(call("totp_code", {{"ref", handle}}), killed);
  EXPECT_EQ(call("totp_code", {{"ref", kRef}}), killed);
  EXPECT_EQ(call("mint_token", {{"root_ref", kRef}, {"scope", "s"}, {"ttl_seconds", 60}}), killed);
  ToolResult malformed = call("totp_code", {{"ref", "https://local/GitHub/otp"}});
  EXPECT_TRUE(malformed.isError);
  EXPECT_NE(malformed.text, killed.text) << "the parse comes before the kill switch";
  EXPECT_TRUE(vault->requests().empty());
  EXPECT_EQ(auditEntries(), (std::vector<Json>{entry("totp_code", handle, "kill_switch"),
                                               entry("totp_code", kRef, "kill_switch"),
                                               entry("mint_token", kRef, "kill_switch")}));
}

TEST_F(ResolveRoadTest, TheSixtyFirstResolveOfAReferenceAndOfAToolIsRefused) {
  const std::string seed = leaks.secret("MFRGGZDFMZTWQ2LKNNWG23TPOBYXE43U");
  startVault();
  vault->answer("resolve", allowed(seed));
  startServer();
  for (int i = 0; i < 60; ++i) {
    ToolResult result = call("totp_code", {{"ref", kRef}});
    ASSERT_FALSE(result.isError) << "call " << i + 1 << ": " << leaks.redact(result.text);
  }
  EXPECT_EQ(
      call("totp_code", {{"ref", kRef}}),
      (ToolResult{"error: rate limited (" + kRef + ") — too many resolves; slow down and retry",
                  true}));
  // The tool key is spent as well: another reference is refused under its own name.
  const std::string other = "varn://local/Other/otp";
  EXPECT_EQ(
      call("totp_code", {{"ref", other}}),
      (ToolResult{"error: rate limited (" + other + ") — too many resolves; slow down and retry",
                  true}));
  EXPECT_EQ(vault->requests().size(), 60u);
  std::vector<Json> entries = auditEntries();
  ASSERT_EQ(entries.size(), 62u);
  EXPECT_EQ(entries[59], entry("totp_code", kRef, "allowed"));
  EXPECT_EQ(entries[60], entry("totp_code", kRef, "rate_limited"));
  EXPECT_EQ(entries[61], entry("totp_code", other, "rate_limited"));
}

TEST_F(ResolveRoadTest, AuditFileIsPrivateWithOneEscapedLinePerDecision) {
  const std::string seed = leaks.secret("ONSWG4TFORZW63LFONZWC3DUMFWGKZLT");
  startVault();
  vault->enqueue(allowed(seed));
  vault->enqueue(VaultReply::line(R"({"decision":"refused"})"));
  startServer();
  EXPECT_FALSE(call("totp_code", {{"ref", kRef}}).isError);
  EXPECT_TRUE(call("totp_code", {{"ref", kRef}}).isError);
  struct stat info {};
  ASSERT_EQ(::stat(auditPath().c_str(), &info), 0) << "no audit file";
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  std::vector<std::string> lines = auditLines();
  ASSERT_EQ(lines.size(), 2u);
  const std::regex shape(
      R"re(\{"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","tool":"totp_code",)re"
      R"re("ref":"varn:\\/\\/local\\/GitHub\\/otp","decision":"(allowed|refused)"\})re");
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, shape)) << leaks.redact(line);
  }
  EXPECT_NE(lines[0].find(R"("decision":"allowed")"), std::string::npos);
  EXPECT_NE(lines[1].find(R"("decision":"refused")"), std::string::npos);

  // A later run appends to the same file.
  ServerTest::TearDown();
  vault.reset();
  startVault();
  vault->answer("resolve", allowed(seed));
  startServer();
  EXPECT_FALSE(call("totp_code", {{"ref", kRef}}).isError);
  EXPECT_EQ(auditLines().size(), 3u);
  EXPECT_EQ(auditLines()[0], lines[0]);
}

TEST_F(ResolveRoadTest, MintedHandleIsRedeemedWithoutTheVaultUntilItExpires) {
  const std::string seed = leaks.secret("KRUGKIDROVUWG2ZAMJZG653OEBTG66BA");
  startVault();
  vault->answer("resolve", allowed(seed));
  startServer();
  std::time_t before = std::time(nullptr);
  ToolResult minted =
      call("mint_token", {{"root_ref", kRef}, {"scope", "ci"}, {"ttl_seconds", 600}});
  std::time_t after = std::time(nullptr);
  ASSERT_FALSE(minted.isError) << leaks.redact(minted.text);
  Json output = Json::parse(minted.text);
  ASSERT_EQ(output.size(), 2u);
  const std::string handle = output.at("handle").get<std::string>();
  EXPECT_TRUE(std::regex_match(
      handle, std::regex("varnh_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                         "[0-9A-F]{12}")))
      << handle;
  const std::string expiresAt = output.at("expires_at").get<std::string>();
  std::tm parts{};
  ASSERT_NE(::strptime(expiresAt.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts), nullptr) << expiresAt;
  EXPECT_EQ(expiresAt.size(), 20u) << expiresAt;
  std::time_t expiry = ::timegm(&parts);
  EXPECT_GE(expiry, before + 600);
  EXPECT_LE(expiry, after + 600);

  expectCodeOf(handle, seed);
  expectCodeOf(handle, seed);
  // A handle minted from the handle stands for the same value, and expires with its source
  // however long a life it asks for.
  ToolResult again =
      call("mint_token", {{"root_ref", handle}, {"scope", ""}, {"ttl_seconds", 1'000'000'000}});
  ASSERT_FALSE(again.isError) << leaks.redact(again.text);
  std::string second = Json::parse(again.text).at("handle").get<std::string>();
  EXPECT_NE(second, handle);
  EXPECT_EQ(Json::parse(again.text).at("expires_at"), Json(expiresAt));
  expectCodeOf(second, seed);
  EXPECT_EQ(vault->requests().size(), 1u) << "handles are never sent to the vault";

  // Letter case matters, and ttl 0 gives a handle that is already expired.
  std::string lower = handle;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  lower.replace(0, 6, "varnh_");
  ToolResult expired = call("mint_token", {{"root_ref", kRef}, {"scope", "x"}, {"ttl_seconds", 0}});
  ASSERT_FALSE(expired.isError) << leaks.redact(expired.text);
  std::string dead = Json::parse(expired.text).at("handle").get<std::string>();
  for (const std::string& unusable : {lower, dead}) {
    EXPECT_EQ(call("totp_code", {{"ref", unusable}}),
              (ToolResult{"error: handle " + unusable +
                              " is unknown or expired — mint a fresh one with mint_token",
                          true}));
  }
  EXPECT_EQ(vault->requests().size(), 2u);
  std::vector<Json> entries = auditEntries();
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0], entry("mint_token", kRef, "allowed"));
  EXPECT_EQ(entries[1], entry("totp_code", handle, "handle_redeemed"));
  EXPECT_EQ(entries[entries.size() - 2], entry("totp_code", lower, "handle_expired"));
  EXPECT_EQ(entries.back(), entry("totp_code", dead, "handle_expired"));
}

TEST_F(ResolveRoadTest, HugeTtlNeitherOverflowsNorCrashes) {
  const std::string seed = leaks.secret("GAYTEMZUGU3DOOBZGAYTEMZUGU3DOOBZ");
  startVault();
  vault->answer("resolve", allowed(seed));
  startServer();
  for (std::int64_t ttl : {INT64_MAX, INT64_MIN, std::int64_t{-1}}) {
    ToolResult minted =
        call("mint_token", {{"root_ref", kRef}, {"scope", "big"}, {"ttl_seconds", ttl}});
    ASSERT_FALSE(minted.isError) << ttl << ": " << leaks.redact(minted.text);
    Json output = Json::parse(minted.text);
    EXPECT_EQ(output.at("expires_at").get<std::string>().back(), 'Z');
  }
  ToolResult live = call("totp_code", {{"ref", kRef}});
  EXPECT_FALSE(live.isError) << "the server survived: " << leaks.redact(live.text);
}

}  // namespace
}  // namespace varn::tests
