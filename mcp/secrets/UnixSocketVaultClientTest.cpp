#include "mcp/secrets/UnixSocketVaultClient.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/testing/FakeVaultSocket.hpp"
#include "mcp/secrets/testing/ScriptedVault.hpp"

namespace varn::mcp {
namespace {

using fakes::FakeVaultSocket;
using fakes::TempFolder;
using support::Json;
using support::JsonDecodeError;

const std::string kAppNotRunningTail = ") \u2014 open Varn, unlock the vault, then retry";

std::string appNotRunning(const std::string& path) {
  return "the Varn app isn't running (no vault socket at " + path + kAppNotRunningTail;
}

// The outcome of one call: the result as compact JSON, or the error's kind and text.
using Call = std::function<std::string(UnixSocketVaultClient&)>;

template <typename R>
std::string dump(const R& record) {
  return support::dumpCompact(support::encodeRecord(record));
}

std::string outcome(const Call& call, UnixSocketVaultClient& client) {
  try {
    return call(client);
  } catch (const ToolError& error) {
    return std::string(error.errorCase() == ToolError::Case::upstream ? "upstream: "
                                                                      : "invalidArguments: ") +
           error.message();
  } catch (const JsonDecodeError& error) {
    return "decode: " + error.message();
  }
}

const Call kPreview = [](UnixSocketVaultClient& c) { return dump(c.preview("varn://c/i/f")); };
const Call kDeleteGroup = [](UnixSocketVaultClient& c) {
  return dump(c.run<GroupDeleteOperation>({"g"}));
};

constexpr const char* kMetadata =
    R"({"id":"1","ref":"varn://c/i/f","name":"n","field_label":"f","kind":"k",)"
    R"("ai_access":"injectable","group":"g"})";
constexpr const char* kMetadataEncoded =
    R"({"id":"1","ref":"varn://c/i/f","name":"n","field_label":"f","kind":"k",)"
    R"("ai_access":"injectable","group":"g"})";

// --- every operation's request bytes and reply type ----------------------------------------------

struct OperationCase {
  const char* name;
  Call call;
  const char* request;  // the exact bytes sent, line feed included
  const char* reply;    // a well-formed reply object (or array) for the operation
  const char* decoded;  // the decoded reply, re-encoded
  bool envelopeTried;
};

SecretCreateInput fullCreate() {
  return SecretCreateInput{"GitHub",
                           "token",
                           "fake\nvalue/\u00e9",
                           "password",
                           "injectable",
                           "me",
                           "Dev",
                           "Work",
                           "https://github.com",
                           std::vector<std::string>{"api.github.com"},
                           std::vector<std::string>{"gh"}};
}

std::vector<OperationCase> operationCases() {
  return {
      {"resolve", [](UnixSocketVaultClient& c) { return dump(c.resolve("varn://c/i/f", true)); },
       "{\"op\":\"resolve\",\"ref\":\"varn:\\/\\/c\\/i\\/f\",\"approved\":true}\n",
       R"({"decision":"needs_approval","ai_access":"human_gated"})",
       R"({"decision":"needs_approval","ai_access":"human_gated"})", false},
      {"resolve not approved",
       [](UnixSocketVaultClient& c) { return dump(c.resolve("varn://c/i/f", false)); },
       "{\"op\":\"resolve\",\"ref\":\"varn:\\/\\/c\\/i\\/f\",\"approved\":false}\n",
       R"({"decision":"refused"})", R"({"decision":"refused"})", false},
      {"preview", kPreview, "{\"op\":\"preview\",\"ref\":\"varn:\\/\\/c\\/i\\/f\"}\n",
       R"({"decision":"allowed","type":"password","length":12,"last4":"abcd"})",
       R"({"decision":"allowed","type":"password","length":12,"last4":"abcd"})", false},
      {"list",
       [](UnixSocketVaultClient& c) {
         std::string out;
         for (const auto& e : c.list(std::nullopt, std::nullopt)) out += dump(e);
         return out;
       },
       "{\"op\":\"list\"}\n", R"([{"ref":"r","name":"n","type":"t","ai_access":"ai_hidden"}])",
       R"({"ref":"r","name":"n","type":"t","ai_access":"ai_hidden"})", true},
      {"list narrowed",
       [](UnixSocketVaultClient& c) { return std::to_string(c.list("", "git").size()); },
       "{\"op\":\"list\",\"collection\":\"\",\"query\":\"git\"}\n", "[]", "0", true},
      {"capture",
       [](UnixSocketVaultClient& c) { return dump(c.captureSecret("https://e.com", "Login")); },
       "{\"op\":\"capture\",\"name\":\"Login\",\"url\":\"https:\\/\\/e.com\"}\n", kMetadata,
       kMetadataEncoded, true},
      {"capture without name",
       [](UnixSocketVaultClient& c) {
         return dump(c.captureSecret("https://e.com", std::nullopt));
       },
       "{\"op\":\"capture\",\"url\":\"https:\\/\\/e.com\"}\n", kMetadata, kMetadataEncoded, true},
      {"secret_create",
       [](UnixSocketVaultClient& c) { return dump(c.run<SecretCreateOperation>(fullCreate())); },
       "{\"op\":\"secret_create\",\"name\":\"GitHub\",\"value\":\"fake\\nvalue\\/\u00e9\","
       "\"kind\":\"password\",\"username\":\"me\",\"group\":\"Dev\",\"project\":\"Work\","
       "\"url\":\"https:\\/\\/github.com\",\"field_label\":\"token\",\"ai_access\":\"injectable\","
       "\"allowed_hosts\":[\"api.github.com\"],\"allowed_commands\":[\"gh\"]}\n",
       kMetadata, kMetadataEncoded, true},
      {"secret_create minimal",
       [](UnixSocketVaultClient& c) {
         return dump(c.run<SecretCreateOperation>({"n", "f", "v", "k", "anything"}));
       },
       "{\"op\":\"secret_create\",\"name\":\"n\",\"value\":\"v\",\"kind\":\"k\","
       "\"field_label\":\"f\",\"ai_access\":\"anything\"}\n",
       kMetadata, kMetadataEncoded, true},
      {"secret_get",
       [](UnixSocketVaultClient& c) { return dump(c.run<SecretGetOperation>({"not a ref"})); },
       "{\"op\":\"secret_get\",\"ref\":\"not a ref\"}\n", kMetadata, kMetadataEncoded, true},
      {"secret_update",
       [](UnixSocketVaultClient& c) {
         SecretUpdateInput input;
         input.ref = "r";
         input.value = "";
         input.username = "";
         input.allowed_hosts = std::vector<std::string>{};
         return dump(c.run<SecretUpdateOperation>(input));
       },
       "{\"op\":\"secret_update\",\"ref\":\"r\",\"value\":\"\",\"username\":\"\","
       "\"allowed_hosts\":[]}\n",
       kMetadata, kMetadataEncoded, true},
      {"secret_update only ref",
       [](UnixSocketVaultClient& c) { return dump(c.run<SecretUpdateOperation>({"r"})); },
       "{\"op\":\"secret_update\",\"ref\":\"r\"}\n", kMetadata, kMetadataEncoded, true},
      {"secret_delete",
       [](UnixSocketVaultClient& c) { return dump(c.run<SecretDeleteOperation>({"r"})); },
       "{\"op\":\"secret_delete\",\"ref\":\"r\"}\n", R"({"deleted":false})", R"({"deleted":false})",
       true},
      {"group_list", [](UnixSocketVaultClient& c) { return dump(c.run<GroupListOperation>({})); },
       "{\"op\":\"group_list\"}\n",
       R"({"groups":[{"id":"2","name":"b","project":"p","parent":"1"},{"id":"1","name":"a","project":"p"}]})",
       R"({"groups":[{"id":"2","name":"b","project":"p","parent":"1"},{"id":"1","name":"a","project":"p"}]})",
       true},
      {"group_create",
       [](UnixSocketVaultClient& c) {
         return dump(c.run<GroupCreateOperation>({"Dev", "Work", "Root/Sub"}));
       },
       "{\"op\":\"group_create\",\"name\":\"Dev\",\"project\":\"Work\",\"parent\":\"Root\\/"
       "Sub\"}\n",
       R"({"id":"g","name":"Dev","project":"Work"})", R"({"id":"g","name":"Dev","project":"Work"})",
       true},
      {"group_get",
       [](UnixSocketVaultClient& c) { return dump(c.run<GroupGetOperation>({"Dev"})); },
       "{\"op\":\"group_get\",\"group\":\"Dev\"}\n", R"({"id":"g","name":"Dev","project":"Work"})",
       R"({"id":"g","name":"Dev","project":"Work"})", true},
      {"group_update",
       [](UnixSocketVaultClient& c) {
         return dump(c.run<GroupUpdateOperation>({"Dev", "Ops"}));
       },
       "{\"op\":\"group_update\",\"name\":\"Ops\",\"group\":\"Dev\"}\n",
       R"({"id":"g","name":"Ops","project":"Work"})", R"({"id":"g","name":"Ops","project":"Work"})",
       true},
      {"group_delete", kDeleteGroup, "{\"op\":\"group_delete\",\"group\":\"g\"}\n",
       R"({"deleted":true})", R"({"deleted":true})", true},
      {"project_list",
       [](UnixSocketVaultClient& c) { return dump(c.run<ProjectListOperation>({})); },
       "{\"op\":\"project_list\"}\n", R"({"projects":[{"id":"p","name":"Work"}]})",
       R"({"projects":[{"id":"p","name":"Work"}]})", true},
      {"project_create",
       [](UnixSocketVaultClient& c) { return dump(c.run<ProjectCreateOperation>({"Work"})); },
       "{\"op\":\"project_create\",\"name\":\"Work\"}\n", R"({"id":"p","name":"Work"})",
       R"({"id":"p","name":"Work"})", true},
      {"project_get",
       [](UnixSocketVaultClient& c) { return dump(c.run<ProjectGetOperation>({"p"})); },
       "{\"op\":\"project_get\",\"project\":\"p\"}\n", R"({"id":"p","name":"Work"})",
       R"({"id":"p","name":"Work"})", true},
      {"project_update",
       [](UnixSocketVaultClient& c) {
         return dump(c.run<ProjectUpdateOperation>({"p", std::nullopt}));
       },
       "{\"op\":\"project_update\",\"project\":\"p\"}\n", R"({"id":"p","name":"Work"})",
       R"({"id":"p","name":"Work"})", true},
      {"project_delete",
       [](UnixSocketVaultClient& c) { return dump(c.run<ProjectDeleteOperation>({"p"})); },
       "{\"op\":\"project_delete\",\"project\":\"p\"}\n", R"({"deleted":true})",
       R"({"deleted":true})", true},
  };
}

TEST(UnixSocketVaultClientTest, EveryOperationSendsItsLineAndDecodesItsReply) {
  for (const OperationCase& c : operationCases()) {
    SCOPED_TRACE(c.name);
    FakeVaultSocket vault;
    vault.answer(std::string(c.reply) + "\n");
    UnixSocketVaultClient client(vault.path());
    EXPECT_EQ(outcome(c.call, client), c.decoded);
    EXPECT_EQ(vault.requests(), std::vector<std::string>{c.request});
  }
}

TEST(UnixSocketVaultClientTest, ErrorEnvelopeFailsEveryOperationButResolveAndPreview) {
  for (const OperationCase& c : operationCases()) {
    SCOPED_TRACE(c.name);
    // The envelope wins even beside the members of the expected record.
    Json reply = Json::parse(c.reply);
    if (reply.is_object()) {
      reply["error"] = "vault is locked \u2014 unlock it";
    } else {
      reply = Json{{"error", "vault is locked \u2014 unlock it"}};
    }
    FakeVaultSocket vault;
    vault.answer(support::dumpCompact(reply) + "\n");
    vault.answer("{\"error\":\"vault is locked\"}\n");
    UnixSocketVaultClient client(vault.path());
    if (c.envelopeTried) {
      EXPECT_EQ(outcome(c.call, client), "upstream: vault is locked \u2014 unlock it");
      EXPECT_EQ(outcome(c.call, client), "upstream: vault is locked");
    } else {
      EXPECT_EQ(outcome(c.call, client), c.decoded);
      EXPECT_EQ(outcome(c.call, client), "decode: missing required key \"decision\"");
    }
  }
}

struct ReplyCase {
  const char* name;
  std::string reply;  // bytes the fake writes before closing
  Call call;
  std::string expected;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class UnixSocketReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(UnixSocketReplyTest, FramesAndDecodesTheReply) {
  const ReplyCase& c = GetParam();
  FakeVaultSocket vault;
  vault.answer(c.reply);
  UnixSocketVaultClient client(vault.path());
  EXPECT_EQ(outcome(c.call, client), c.expected);
}

const std::string kNotJson = "decode: the data is not valid JSON";
const Call kList = [](UnixSocketVaultClient& c) {
  return std::to_string(c.list(std::nullopt, std::nullopt).size());
};
const Call kGetGroup = [](UnixSocketVaultClient& c) {
  return dump(c.run<GroupGetOperation>({"g"}));
};

INSTANTIATE_TEST_SUITE_P(
    Framing, UnixSocketReplyTest,
    ::testing::Values(
        ReplyCase{"NoLineFeedThenClose", R"({"deleted":true})", kDeleteGroup,
                  R"({"deleted":true})"},
        ReplyCase{"Empty", "", kDeleteGroup, kNotJson},
        ReplyCase{"EmptyToPreview", "", kPreview, kNotJson},
        ReplyCase{"BareLineFeed", "\n", kDeleteGroup, kNotJson},
        ReplyCase{"BytesAfterLineFeedIgnored", "{\"deleted\":true}\n{\"error\":\"x\"}\ngarbage",
                  kDeleteGroup, R"({"deleted":true})"},
        ReplyCase{"CarriageReturnBeforeLineFeed", "{\"deleted\":true}\r\n", kDeleteGroup,
                  R"({"deleted":true})"},
        ReplyCase{"WhitespaceAround", " \t{\"deleted\":true} ", kDeleteGroup,
                  R"({"deleted":true})"},
        ReplyCase{"ErrorNullIsNoEnvelope",
                  "{\"error\":null,\"id\":\"1\",\"name\":\"n\",\"project\":\"p\"}\n", kGetGroup,
                  R"({"id":"1","name":"n","project":"p"})"},
        ReplyCase{"ErrorNumberIsNoEnvelope",
                  "{\"error\":5,\"id\":\"1\",\"name\":\"n\",\"project\":\"p\"}\n", kGetGroup,
                  R"({"id":"1","name":"n","project":"p"})"},
        ReplyCase{"ErrorNumberAloneFailsDecoding", "{\"error\":5}\n", kGetGroup,
                  "decode: missing required key \"id\""},
        ReplyCase{"ArrayIsNeverAnEnvelope", "[{\"error\":\"x\"}]\n", kList,
                  "decode: [0]: missing required key \"ref\""},
        ReplyCase{"ObjectToListFailsDecoding", "{\"items\":[]}\n", kList,
                  "decode: list reply must be a JSON array"},
        ReplyCase{"NotUtf8", "{\"deleted\":true,\"x\":\"\xff\"}\n", kDeleteGroup, kNotJson},
        ReplyCase{"WrongRecord", "{\"decision\":\"allowed\"}\n", kDeleteGroup,
                  "decode: missing required key \"deleted\""}),
    [](const ::testing::TestParamInfo<ReplyCase>& p) { return std::string(p.param.name); });

// The reply is read up to its cap and no further: one byte more is refused, whatever follows.
TEST(UnixSocketVaultClientTest, AReplyOverTheCapIsRefused) {
  constexpr std::size_t kMax = UnixSocketVaultClient::kMaxReplyBytes;
  for (const auto& [size, expected] :
       {std::pair{kMax, std::string("0")},
        std::pair{kMax + 1,
                  std::string("upstream: the vault reply is longer than 67108864 bytes")}}) {
    FakeVaultSocket vault;
    vault.answer("[" + std::string(size - 2, ' ') + "]\n");
    UnixSocketVaultClient client(vault.path());
    EXPECT_EQ(outcome(kList, client), expected) << size;
  }
}

// --- connection failures
// --------------------------------------------------------------------------

TEST(UnixSocketVaultClientTest, NoFileAtThePathIsAppNotRunning) {
  TempFolder folder;
  std::string path = folder.file("missing.sock");
  UnixSocketVaultClient client(path);
  EXPECT_EQ(outcome(kPreview, client), "upstream: " + appNotRunning(path));
}

TEST(UnixSocketVaultClientTest, SocketWithNobodyListeningIsAppNotRunning) {
  TempFolder folder;
  std::string path = folder.file("bound.sock");
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  UnixSocketVaultClient client(path);
  EXPECT_EQ(outcome(kDeleteGroup, client), "upstream: " + appNotRunning(path));
  ::close(fd);
}

TEST(UnixSocketVaultClientTest, OtherConnectErrorsGiveTheErrnoNumber) {
  TempFolder folder;
  std::string file = folder.file("plain-file");
  std::ofstream(file) << "x";
  UnixSocketVaultClient client(file + "/vault.sock");
  EXPECT_EQ(outcome(kPreview, client), "upstream: connect() failed: 20");  // ENOTDIR
}

TEST(UnixSocketVaultClientTest, PathOf103BytesIsTriedAnd104IsRefusedWithoutConnecting) {
  // "/tmp/vvXXXXXX/" is 14 bytes.
  FakeVaultSocket longest(std::string(89, 'a'));
  ASSERT_EQ(longest.path().size(), 103u);
  longest.answer("{\"deleted\":true}\n");
  UnixSocketVaultClient tried(longest.path());
  EXPECT_EQ(outcome(kDeleteGroup, tried), R"({"deleted":true})");

  FakeVaultSocket tooLong(std::string(90, 'a'));
  ASSERT_EQ(tooLong.path().size(), 104u);
  UnixSocketVaultClient refused(tooLong.path());
  EXPECT_EQ(outcome(kDeleteGroup, refused), "upstream: socket path too long");

  // Bytes are counted, not characters: 45 two-byte characters reach the limit.
  std::string accents;
  for (int i = 0; i < 45; ++i) accents += "\u00e9";
  FakeVaultSocket wide(accents);
  ASSERT_EQ(wide.path().size(), 104u);
  UnixSocketVaultClient refusedWide(wide.path());
  EXPECT_EQ(outcome(kDeleteGroup, refusedWide), "upstream: socket path too long");

  EXPECT_EQ(tooLong.connections(), 0);
  EXPECT_EQ(wide.connections(), 0);
  EXPECT_EQ(longest.connections(), 1);
}

TEST(UnixSocketVaultClientTest, EmptyPathNeverReachesTheAbstractNamespace) {
  // A squatter on the zero-filled address that an empty path would give. Were it reached, the
  // call would get its empty reply and fail decoding instead.
  std::optional<FakeVaultSocket> squatter;
  try {
    squatter.emplace(FakeVaultSocket::Abstract{std::string()});
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "the all-zero abstract address is held by another process";
  }
  UnixSocketVaultClient client("");
  EXPECT_EQ(outcome(kPreview, client), "upstream: " + appNotRunning(""));
  EXPECT_EQ(squatter->connections(), 0);
}

TEST(UnixSocketVaultClientTest, PathWithAZeroByteIsNeverConnected) {
  std::string name = std::string(1, '\0') + "varn-test-" + std::to_string(::getpid());
  FakeVaultSocket squatter(FakeVaultSocket::Abstract{name});
  UnixSocketVaultClient client(name);
  EXPECT_EQ(outcome(kPreview, client), "upstream: " + appNotRunning(name));
  EXPECT_EQ(squatter.connections(), 0);
}

TEST(UnixSocketVaultClientTest, PeerClosingEarlyIsWriteFailedNotABrokenPipeSignal) {
  // SIGPIPE at its default would end this process; only MSG_NOSIGNAL keeps it alive.
  struct sigaction defaultAction {};
  struct sigaction previous {};
  defaultAction.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &defaultAction, &previous), 0);

  FakeVaultSocket vault;
  vault.script({"", /*closeWithoutReading=*/true, {}});
  UnixSocketVaultClient client(vault.path());
  // Far more than a socket buffer holds, so the write is still going when the peer closes.
  SecretCreateInput input{"n", "f", std::string(4 << 20, 'x'), "k", "injectable"};
  EXPECT_EQ(
      outcome([&](UnixSocketVaultClient& c) { return dump(c.run<SecretCreateOperation>(input)); },
              client),
      "upstream: write() failed");

  ::sigaction(SIGPIPE, &previous, nullptr);
}

// --- interrupted reads and concurrent calls
// --------------------------------------------------------

std::atomic<bool> interrupted{false};
void noteInterrupt(int) {
  interrupted = true;
}

// True once `thread` is blocked in the read system call, polled against a deadline.
bool waitUntilInRead(pid_t thread) {
  const std::string file = "/proc/self/task/" + std::to_string(thread) + "/syscall";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(file);
    std::string number;
    if (in >> number && number == std::to_string(SYS_read)) return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(UnixSocketVaultClientTest, InterruptedReadDoesNotEndTheReply) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = noteInterrupt;  // no SA_RESTART: the blocked read fails with EINTR
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  pthread_t caller = ::pthread_self();
  pid_t callerId = static_cast<pid_t>(::syscall(SYS_gettid));
  bool sawReadBefore = false;
  bool sawReadAfter = false;
  FakeVaultSocket vault;
  vault.script({"{\"deleted\":true}\n", false, [&] {
                  sawReadBefore = waitUntilInRead(callerId);
                  ::pthread_kill(caller, SIGUSR1);
                  while (!interrupted) std::this_thread::yield();
                  sawReadAfter = waitUntilInRead(callerId);
                }});
  UnixSocketVaultClient client(vault.path());
  EXPECT_EQ(outcome(kDeleteGroup, client), R"({"deleted":true})");
  EXPECT_TRUE(sawReadBefore);
  EXPECT_TRUE(interrupted);
  EXPECT_TRUE(sawReadAfter);

  ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(UnixSocketVaultClientTest, ConcurrentCallsUseSeparateConnections) {
  constexpr int kCalls = 8;
  FakeVaultSocket vault;
  for (int i = 0; i < kCalls; ++i) vault.answer("{\"deleted\":true}\n");
  UnixSocketVaultClient client(vault.path());
  std::vector<std::string> results(kCalls);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; ++i) {
    threads.emplace_back([&, i] { results[i] = outcome(kDeleteGroup, client); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& r : results) EXPECT_EQ(r, R"({"deleted":true})");
  EXPECT_EQ(vault.connections(), kCalls);
}

// --- default paths
// ---------------------------------------------------------------------------------

TEST(UnixSocketVaultClientTest, DefaultPathPrefersTheContainerSocket) {
  TempFolder home;
  ::setenv("HOME", home.path().c_str(), 1);
  const std::string container =
      home.path() +
      "/Library/Containers/com.kelvane.varn/Data/Library/Application Support/Varn/varn.sock";
  const std::string plain = home.path() + "/Library/Application Support/Varn/varn.sock";
  if (UnixSocketVaultClient::containerPath() != container) {
    GTEST_SKIP() << "the paths were computed earlier in this process under another home";
  }
  EXPECT_EQ(UnixSocketVaultClient::plainPath(), plain);

  EXPECT_EQ(UnixSocketVaultClient::defaultPath(), container);  // neither exists
  std::filesystem::create_directories(std::filesystem::path(plain).parent_path());
  std::ofstream(plain) << "";
  EXPECT_EQ(UnixSocketVaultClient::defaultPath(), plain);  // only the plain one
  std::filesystem::create_directories(std::filesystem::path(container).parent_path());
  std::ofstream(container) << "";
  EXPECT_EQ(UnixSocketVaultClient::defaultPath(), container);  // both
}

}  // namespace
}  // namespace varn::mcp
