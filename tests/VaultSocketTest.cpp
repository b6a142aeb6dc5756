// The vault socket seen from the server: which path it uses, what it reports when nobody is
// there, and how it reads the vault's replies.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

const char* const kEntry =
    R"({"ref":"varn://local/GitHub/password","name":"GitHub","type":"password","ai_access":"injectable"})";
const char* const kItems =
    R"({"items":[{"ref":"varn://local/GitHub/password","name":"GitHub","type":"password","ai_access":"injectable"}]})";

std::string appNotRunning(const std::string& path) {
  return "error: upstream(\"the Varn app isn\\'t running (no vault socket at " + path +
         ") — open Varn, unlock the vault, then retry\")";
}

class VaultSocketTest : public ServerTest {
 protected:
  // A path inside the fixture's folder of exactly `bytes` UTF-8 bytes, ending in `tail`.
  std::string pathOfLength(std::size_t bytes, const std::string& tail = "") {
    std::string path = dir.path() + "/";
    path += std::string(bytes - path.size() - tail.size(), 'p');
    return path + tail;
  }

  void expectListWorks() {
    EXPECT_EQ(call("secret_list"), (ToolResult{std::string(kItems), false}));
  }
};

TEST_F(VaultSocketTest, NoSocketFileIsTheAppNotRunning) {
  startServer();
  EXPECT_EQ(call("secret_list"), (ToolResult{appNotRunning(socketPath), true}));
  EXPECT_EQ(call("group_list"), (ToolResult{appNotRunning(socketPath), true}));
}

TEST_F(VaultSocketTest, SocketWithNobodyListeningIsTheAppNotRunning) {
  UnlistenedSocket leftBehind(socketPath);
  startServer();
  EXPECT_EQ(call("secret_list"), (ToolResult{appNotRunning(socketPath), true}));
}

TEST_F(VaultSocketTest, RegularFileAtThePathIsTheAppNotRunning) {
  std::ofstream(socketPath) << "not a socket";
  startServer();
  EXPECT_EQ(call("project_list"), (ToolResult{appNotRunning(socketPath), true}));
}

TEST_F(VaultSocketTest, PathOf103BytesIsTried) {
  std::string path = pathOfLength(103);
  startVault(path);
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  auto env = defaultEnvironment();
  env["VARN_SOCKET"] = path;
  startServer({}, env);
  expectListWorks();
}

TEST_F(VaultSocketTest, PathOf104BytesIsTooLongWithoutAnyConnection) {
  // The second path has 103 characters but 104 bytes: bytes are counted.
  for (const std::string& path : {pathOfLength(104), pathOfLength(104, "é")}) {
    ASSERT_EQ(path.size(), 104u);
    auto env = defaultEnvironment();
    env["VARN_SOCKET"] = path;
    startServer({}, env);
    EXPECT_EQ(call("secret_list"),
              (ToolResult{R"(error: upstream("socket path too long"))", true}));
    expectCleanExit();
  }
}

// A zero-filled address would name the abstract socket of 107 zero bytes, which any local process
// may hold. The test holds it, counts who connects and closes each connection at once (so a
// server that does connect fails fast instead of waiting for a reply).
class AbstractSquatter final {
 public:
  AbstractSquatter() {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    holding_ = fd_ >= 0 &&
               ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(fd_, 8) == 0;
    if (holding_) thread_ = std::thread([this] { acceptLoop(); });
  }
  ~AbstractSquatter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  AbstractSquatter(const AbstractSquatter&) = delete;
  AbstractSquatter& operator=(const AbstractSquatter&) = delete;

  // False when another process holds the name already; then nothing can be observed.
  [[nodiscard]] bool holding() const { return holding_; }
  [[nodiscard]] int connections() const { return connections_; }

 private:
  void acceptLoop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;  // the timeout only re-checks stop_
      int accepted = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        ++connections_;
        ::close(accepted);
      }
    }
  }

  int fd_ = -1;
  bool holding_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST_F(VaultSocketTest, EmptySocketOptionIsTheAppNotRunningWithoutConnecting) {
  AbstractSquatter squatter;
  startServer({"--socket", ""});
  EXPECT_EQ(call("secret_list"), (ToolResult{appNotRunning(""), true}));
  EXPECT_EQ(call("group_list"), (ToolResult{appNotRunning(""), true}));
  EXPECT_EQ(call("secret_resolve_preview", {{"ref", "varn://local/GitHub/password"}}),
            (ToolResult{appNotRunning(""), true}));
  if (squatter.holding()) {
    EXPECT_EQ(squatter.connections(), 0) << "the server connected to the abstract socket";
  }
}

TEST_F(VaultSocketTest, SocketOptionWinsOverTheEnvironmentAndExpandsTilde) {
  startVault(home + "/w.sock");
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  startServer({"--socket", "~/w.sock"});
  expectListWorks();
  EXPECT_EQ(vault->requests().size(), 1u);
}

TEST_F(VaultSocketTest, EnvironmentPathIsTrimmedOfBlanksAndExpandsTilde) {
  startVault(home + "/v.sock");
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  auto env = defaultEnvironment();
  env["VARN_SOCKET"] = " \t~/v.sock  ";
  startServer({}, env);
  expectListWorks();
}

// With VARN_SOCKET absent, empty or blank the server uses the default path under HOME: the
// container path when nothing is at either default path.
TEST_F(VaultSocketTest, EmptyOrBlankOrAbsentEnvironmentPathFallsBackToTheDefault) {
  std::string containerPath =
      home + "/Library/Containers/com.kelvane.varn/Data/Library/Application Support/Varn/varn.sock";
  ASSERT_LT(containerPath.size(), 104u);
  std::filesystem::create_directories(std::filesystem::path(containerPath).parent_path());
  startVault(containerPath);
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  const std::vector<std::optional<std::string>> settings{std::nullopt, "", "  \t "};
  for (const auto& setting : settings) {
    std::map<std::string, std::string> env{{"HOME", home}};
    if (setting) env["VARN_SOCKET"] = *setting;
    startServer({}, env);
    expectListWorks();
    expectCleanExit();
  }
  EXPECT_EQ(vault->requests().size(), settings.size());
}

TEST_F(VaultSocketTest, PlainDefaultPathIsUsedWhenOnlyItExists) {
  std::string plainPath = home + "/Library/Application Support/Varn/varn.sock";
  std::filesystem::create_directories(std::filesystem::path(plainPath).parent_path());
  startVault(plainPath);
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  startServer({}, std::map<std::string, std::string>{{"HOME", home}});
  expectListWorks();
}

TEST_F(VaultSocketTest, ReplyFramingVariantsThatStillDecode) {
  startVault();
  const std::string list = std::string("[") + kEntry + "]";
  vault->enqueue(VaultReply::withoutNewline(list));
  vault->enqueue(VaultReply::withTrailingBytes(list, "{\"error\":\"never read\"}\n[]\n"));
  vault->enqueue(VaultReply::line(list + "\r"));
  vault->enqueue(VaultReply::line("  " + list + " \t"));
  startServer();
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    expectListWorks();
  }
}

// A reader between client and server that stops at the NUL would see a line that is not JSON, and
// a vault reply with bytes after its value is not the reply: neither is ever acted on.
TEST_F(VaultSocketTest, NulBytesMakeLinesAndRepliesNotJson) {
  using namespace std::string_literals;
  startVault();
  vault->answer("secret_get", VaultReply::line(R"({"error":"must never be asked"})"));
  startServer();
  const std::vector<std::string> lines{
      "{\"jsonrpc\":\"2.0\",\"id\":6,\"method\":\"ping\"}\0junk"s,
      "{\"jsonrpc\":\"2.0\",\"id\":6,\"method\":\"ping\"}\0"s,
      toolsCall(7, "secret_get", {{"ref", "varn://local/GitHub/password"}}) + "\0{\"anything\": ["s,
      "\0"s + toolsCall(8, "secret_get", {{"ref", "varn://local/GitHub/password"}}),
  };
  for (const std::string& line : lines) ASSERT_TRUE(server->sendLine(line));
  EXPECT_EQ(roundTrip(request(9, "ping")),
            (Json{{"jsonrpc", "2.0"}, {"id", 9}, {"result", Json::object()}}));
  EXPECT_EQ(vault->connections(), 0u) << "a line that is not JSON reached the vault";

  const ToolResult decoderError{"error: the data is not valid JSON", true};
  vault->enqueue(VaultReply::line("{\"groups\":[]}\0junk"s));
  vault->enqueue(VaultReply::line("["s + kEntry + "]\0"s));
  vault->enqueue(VaultReply::line("{\"decision\":\"denied\"}\0"s));
  EXPECT_EQ(call("group_list"), decoderError);
  EXPECT_EQ(call("secret_list"), decoderError);
  EXPECT_EQ(call("secret_resolve_preview", {{"ref", "varn://local/GitHub/password"}}),
            decoderError);
}

TEST_F(VaultSocketTest, EmptyRepliesFailWithTheDecodersError) {
  startVault();
  vault->enqueue(VaultReply::empty());
  vault->enqueue(VaultReply::bareNewline());
  vault->enqueue(VaultReply::withoutNewline("[{\"ref\":"));
  startServer();
  for (int i = 0; i < 3; ++i) {
    ToolResult result = call("secret_list");
    EXPECT_TRUE(result.isError) << result.text;
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
    EXPECT_EQ(result.text.rfind("error: upstream(", 0), std::string::npos) << result.text;
  }
  EXPECT_EQ(vault->requests().size(), 3u);
}

// Closing before reading may reach the server as a failed write or as an empty reply, depending
// on which side the kernel finishes first; both are errors, and the server lives on.
TEST_F(VaultSocketTest, VaultThatClosesWithoutReplyingIsAnErrorAndTheServerLivesOn) {
  startVault();
  vault->enqueue(VaultReply::closeWithoutReading());
  vault->enqueue(VaultReply::closeWithoutReading());
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  startServer();
  for (const char* tool : {"secret_list", "group_list"}) {
    ToolResult result = call(tool);
    EXPECT_TRUE(result.isError) << result.text;
    EXPECT_EQ(result.text.rfind("error: ", 0), 0u) << result.text;
  }
  expectListWorks();
  expectCleanExit();
}

TEST_F(VaultSocketTest, EveryOperationUsesAConnectionOfItsOwn) {
  startVault();
  vault->answer("list", VaultReply::line(std::string("[") + kEntry + "]"));
  startServer();
  for (int i = 0; i < 5; ++i) expectListWorks();
  EXPECT_EQ(vault->connections(), 5u);
  for (const RecordedRequest& request : vault->requests()) {
    EXPECT_EQ(request.line, R"({"op":"list"})");
    EXPECT_TRUE(request.endedWithNewline);
  }
}

}  // namespace
}  // namespace varn::tests
