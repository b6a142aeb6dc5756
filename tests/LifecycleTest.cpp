// Reply order, end of input and signals, against the real binary and a fake vault.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

// State and process group of a process from /proc/<pid>/stat; nullopt once it is gone.
struct ProcState {
  char state;
  pid_t group;
};

std::optional<ProcState> procState(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(stat.substr(close + 2));
  ProcState out{};
  pid_t parent = 0;
  rest >> out.state >> parent >> out.group;
  return out;
}

// Processes still running (not zombies) in any of `groups`, found through /proc.
std::vector<pid_t> livingMembers(const std::set<pid_t>& groups) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    std::optional<ProcState> state = procState(pid);
    if (state && groups.contains(state->group) && state->state != 'Z' && state->state != 'X') {
      found.push_back(pid);
    }
  }
  return found;
}

// Descriptors that turn readable once their process has exited; taken while the processes run,
// so no reused pid can be mistaken for them.
class ExitWatch {
 public:
  ~ExitWatch() {
    for (int fd : fds_) ::close(fd);
  }
  void watch(pid_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(fd, 0) << "process " << pid << " is gone already";
    fds_.push_back(fd);
  }
  // Whether every watched process exited before `deadline`.
  bool allExited(std::chrono::milliseconds deadline = kFailureGuard) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (int fd : fds_) {
      pollfd exited{fd, POLLIN, 0};
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (::poll(&exited, 1, static_cast<int>(std::max<long long>(left.count(), 0))) == 1) break;
        if (left.count() <= 0) return false;
      }
    }
    return true;
  }

 private:
  std::vector<int> fds_;
};

// A FIFO that children write one line each into; the test reads them with a failure guard.
class ReportFifo {
 public:
  explicit ReportFifo(std::string path) : path_(std::move(path)) {
    if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    readFd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Our own writer keeps the FIFO from reporting end of file between children.
    writeFd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  }
  ~ReportFifo() {
    ::close(readFd_);
    ::close(writeFd_);
  }
  const std::string& path() const { return path_; }
  // The next `count` lines; fewer when the guard passed.
  std::vector<std::string> read(std::size_t count) {
    std::vector<std::string> lines;
    const auto until = std::chrono::steady_clock::now() + kFailureGuard;
    while (lines.size() < count) {
      if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
        lines.push_back(buffer_.substr(0, end));
        buffer_.erase(0, end + 1);
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd readable{readFd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) != 1) break;
      char chunk[256];
      const ssize_t n = ::read(readFd_, chunk, sizeof chunk);
      if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    return lines;
  }

 private:
  std::string path_;
  int readFd_ = -1;
  int writeFd_ = -1;
  std::string buffer_;
};

// A child whose background process inherits both pipes and outlives it: the reply comes once the
// child exits, and the background process is ended with it.
TEST_F(LifecycleTest, ABackgroundProcessHoldingThePipesDoesNotHoldTheReply) {
  startServer();
  ToolResult result = call("run_command", {{"argv", {"/bin/sh", "-c", "sleep 600 & echo $!"}}});
  ASSERT_FALSE(result.isError) << result.text;
  const Json output = Json::parse(result.text);
  EXPECT_EQ(output.value("exit", -1), 0);
  const pid_t background = std::stoi(output.value("stdout", "0"));
  ASSERT_GT(background, 0);
  // Gone, a zombie, or (having closed its pipes) a moment from being one.
  std::optional<ProcState> state = procState(background);
  if (state && state->state != 'Z') {
    ExitWatch watch;
    watch.watch(background);
    EXPECT_TRUE(watch.allExited());
  }
  expectCleanExit();
}

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

// More calls than the pool has threads, each held at the vault: the pool stops at its cap, the
// calls beyond it wait for a thread, and once the vault answers every reply leaves in order.
TEST_F(LifecycleTest, AFloodPastTheThreadCapIsAnsweredInOrder) {
  constexpr int kCap = 1024;
  constexpr int kCalls = kCap + 76;
  auto gate = std::make_shared<Gate>();
  startVault();
  vault->answer("list", VaultReply::heldBy(VaultReply::line("[]"), gate));
  startServer();
  std::string flood;
  for (int id = 1; id <= kCalls; ++id) flood += toolsCall(id, "secret_list") + "\n";
  ASSERT_TRUE(server->send(flood));
  // A loaded machine under ThreadSanitizer starts a thousand threads slowly; the guard only ends
  // a run that hangs.
  ASSERT_TRUE(vault->waitForRequests(kCap, std::chrono::minutes(5)));
  // The workers, plus the reader, the writer, the signal thread, the pool's supervisor and, in a
  // sanitizer build, the sanitizer's own background thread.
  std::ifstream status("/proc/" + std::to_string(server->pid()) + "/status");
  std::string threads;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) threads = line.substr(8);
  }
  EXPECT_LE(std::stoi(threads), kCap + 5);
  EXPECT_LE(vault->requests().size(), static_cast<std::size_t>(kCap));

  gate->open();
  for (int id = 1; id <= kCalls; ++id) {
    std::optional<std::string> line = server->readLine();
    ASSERT_EQ(idOf(line), Json(id));
    ASSERT_EQ(toolResult(parseReply(*line).value_or(Json::object())),
              (ToolResult{R"({"items":[]})", false}));
  }
  EXPECT_EQ(vault->requests().size(), static_cast<std::size_t>(kCalls));
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

// A run_command child runs as the same user with the same capabilities. As root, the server is
// started without CAP_SYS_PTRACE (which passes over the flag), so that only the flag stands
// between the child and the server's memory.
TEST_F(LifecycleTest, AChildCannotReadTheServersMemory) {
  if (::geteuid() == 0) {
    server = std::make_unique<ServerProcess>(
        "/usr/bin/setpriv", std::vector<std::string>{"--bounding-set=-sys_ptrace", "--", binary()},
        defaultEnvironment());
  } else {
    startServer();
  }
  const std::string script =
      "grep -q '^Name:' /proc/$1/status && echo status:read; if (exec 3< /proc/$1/mem) "
      "2>/dev/null; "
      "then echo mem:opened; else echo mem:denied; fi";
  ToolResult result = call(
      "run_command", {{"argv", {"/bin/sh", "-c", script, "sh", std::to_string(server->pid())}}});
  EXPECT_EQ(result,
            (ToolResult{R"({"exit":0,"stdout":"status:read\nmem:denied\n","stderr":""})", false}));
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

// Children and what they started in the background all end with the server; they are told apart
// by the process groups they report, never by name.
TEST_P(SignalTest, SignalEndsEveryRunningChildAndWhatItStarted) {
  constexpr int kChildren = 3;
  ReportFifo started(dir.file("started"));
  startServer();
  for (int i = 0; i < kChildren; ++i) {
    ASSERT_TRUE(server->sendLine(toolsCall(
        i + 1, "run_command",
        {{"argv", {"/bin/sh", "-c", "sleep 600 & echo $$ $! > " + started.path() + "; wait"}}})));
  }
  std::set<pid_t> groups;
  ExitWatch watch;
  for (const std::string& line : started.read(kChildren)) {
    pid_t child = 0;
    pid_t background = 0;
    std::istringstream(line) >> child >> background;
    ASSERT_EQ(procState(child).value_or(ProcState{}).group, child) << "not a group of its own";
    ASSERT_EQ(procState(background).value_or(ProcState{}).group, child);
    groups.insert(child);
    watch.watch(child);
    watch.watch(background);
  }
  ASSERT_EQ(groups.size(), static_cast<std::size_t>(kChildren));

  server->sendSignal(GetParam().signal);
  EXPECT_EQ(server->waitForExit(), (ExitStatus{true, GetParam().status, false, 0}));
  EXPECT_TRUE(watch.allExited());
  EXPECT_EQ(livingMembers(groups), std::vector<pid_t>{});
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, SignalTest,
                         testing::Values(SignalCase{SIGTERM, 143}, SignalCase{SIGINT, 130}),
                         [](const testing::TestParamInfo<SignalCase>& param) {
                           return param.param.signal == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

}  // namespace
}  // namespace varn::tests
