#include "support/ChildProcess.hpp"
#include "support/ProcessGroups.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace varn::support {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::size_t kMiB = 1024 * 1024;

ChildCommand shell(const std::string& script, std::vector<std::string> environment = {}) {
  return ChildCommand{"/bin/sh", {"sh", "-c", script}, std::move(environment), std::nullopt};
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "child-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

// The hexadecimal mask of one "Sig...:" line of /proc/<pid>/status as the child printed it.
std::uint64_t signalMask(const std::string& status, const std::string& field) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  ADD_FAILURE() << "no " << field << " line";
  return 0;
}

std::uint64_t bit(int signal) {
  return std::uint64_t{1} << (signal - 1);
}

TEST(ChildProcessTest, CapturesBothStreamsAndTheExitCode) {
  ChildOutput output = runChild(shell("echo out; echo err >&2; exit 3"), kMiB);
  EXPECT_EQ(output, (ChildOutput{3, "out\n", "err\n", false, false}));
}

TEST(ChildProcessTest, ReportsTheSignalThatEndedTheChild) {
  EXPECT_EQ(runChild(shell("kill -TERM $$"), kMiB).status, SIGTERM);
  EXPECT_EQ(runChild(shell("kill -KILL $$"), kMiB).status, SIGKILL);
}

TEST(ChildProcessTest, StandardInputIsAtEndOfFileAtOnce) {
  ChildOutput output = runChild(shell("cat; echo \"read:$?\""), kMiB);
  EXPECT_EQ(output.out, "read:0\n");
  EXPECT_EQ(output.err, "");
}

TEST(ChildProcessTest, DrainsMegabytesOfStandardErrorWrittenBeforeStandardOutput) {
  ChildOutput output = runChild(shell("head -c 3000000 /dev/zero >&2; echo done"), 4 * kMiB);
  EXPECT_EQ(output.status, 0);
  EXPECT_EQ(output.err.size(), 3000000u);
  EXPECT_EQ(output.out, "done\n");
}

TEST(ChildProcessTest, KeepsTheLimitAndReadsOnSoTheChildFinishes) {
  ChildOutput output =
      runChild(shell("head -c 5000000 /dev/zero; head -c 10 /dev/zero >&2; echo $? >&2"), kMiB);
  EXPECT_EQ(output.status, 0);
  EXPECT_EQ(output.out.size(), kMiB);
  EXPECT_TRUE(output.outOverflowed);
  EXPECT_EQ(output.err.size(), 12u);
  EXPECT_FALSE(output.errOverflowed);
}

TEST(ChildProcessTest, AStreamOfExactlyTheLimitHasNotOverflowed) {
  ChildOutput output = runChild(shell("head -c 1000 /dev/zero"), 1000);
  EXPECT_EQ(output.out.size(), 1000u);
  EXPECT_FALSE(output.outOverflowed);
}

TEST(ChildProcessTest, TheChildHoldsOnlyDescriptorsZeroToTwo) {
  // A descriptor this process leaves open across exec must still not reach the child.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  ChildOutput output = runChild(ChildCommand{"/bin/ls", {"ls", "/proc/self/fd"}, {}, {}}, kMiB);
  ::close(leaked);
  // 3 is the descriptor through which ls reads the directory; a leaked one would push it to 4.
  EXPECT_EQ(output.out, "0\n1\n2\n3\n");
}

TEST(ChildProcessTest, PassedDescriptorsBecomeThreeAndUpAndNothingElseIsInherited) {
  // The two ends of one pipe, passed in reverse order, with a leaked descriptor beside them.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  int leaked = ::open("/dev/null", O_RDONLY);
  ChildCommand command = shell("ls /proc/$$/fd; echo through >&3; exit 5");
  command.passedFds = {ends[1], ends[0]};
  ChildProcess child = ChildProcess::start(command);
  ::close(leaked);
  ::close(ends[1]);
  ChildOutput output = child.communicate(kMiB);
  EXPECT_EQ(output.out, "0\n1\n2\n3\n4\n");
  char buffer[16] = {};
  EXPECT_EQ(::read(ends[0], buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "through\n");
  ::close(ends[0]);
  ASSERT_TRUE(child.waitStatus());
  EXPECT_TRUE(WIFEXITED(*child.waitStatus()));
  EXPECT_EQ(WEXITSTATUS(*child.waitStatus()), 5);
}

TEST(ChildProcessTest, TheChildStartsWithAnEmptyMaskAndDefaultStopSignals) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  struct sigaction ignore {
  }, previousPipe{}, previousTerm{}, previousFileSize{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previousPipe);
  ::sigaction(SIGTERM, &ignore, &previousTerm);
  ::sigaction(SIGXFSZ, &ignore, &previousFileSize);

  ChildOutput output = runChild(
      ChildCommand{"/bin/grep", {"grep", "^Sig", "/proc/self/status"}, {}, std::nullopt}, kMiB);

  ::sigaction(SIGPIPE, &previousPipe, nullptr);
  ::sigaction(SIGTERM, &previousTerm, nullptr);
  ::sigaction(SIGXFSZ, &previousFileSize, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  ASSERT_EQ(output.status, 0) << output.err;
  EXPECT_EQ(signalMask(output.out, "SigBlk"), 0u);
  std::uint64_t ignored = signalMask(output.out, "SigIgn");
  EXPECT_EQ(ignored & (bit(SIGINT) | bit(SIGTERM) | bit(SIGPIPE) | bit(SIGXFSZ) | bit(SIGCHLD)),
            0u);
}

// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, ...
std::vector<std::string> statFields(const std::string& stat) {
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// Whether `pid` is gone or only a zombie; pidfds are not used so that a gone pid is no failure.
bool deadOrZombie(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (stat.empty()) return true;
  std::string state = statFields(stat).at(0);
  return state == "Z" || state == "X";
}

TEST(ChildProcessTest, TheChildLeadsAProcessGroupOfItsOwnRecordedUntilItIsReaped) {
  ProcessGroups& groups = ProcessGroups::live();
  const std::size_t before = groups.size();
  ChildProcess child =
      ChildProcess::start(ChildCommand{"/bin/cat", {"cat", "/proc/self/stat"}, {}, {}});
  const pid_t pid = child.pid();
  EXPECT_EQ(groups.size(), before + 1);
  ChildOutput output = child.communicate(kMiB);
  EXPECT_EQ(groups.size(), before);
  std::vector<std::string> fields = statFields(output.out);
  ASSERT_GE(fields.size(), 3u) << output.out;
  EXPECT_EQ(fields[2], std::to_string(pid)) << "pgrp";
}

TEST(ChildProcessTest, ABackgroundProcessHoldingThePipesEndsWithTheChild) {
  // Without the group kill, the call would last as long as the background sleep.
  ChildOutput output =
      runChild(shell("sleep 600 & echo $!; sleep 600 >&2 </dev/null & exit 4"), kMiB);
  EXPECT_EQ(output.status, 4);
  ASSERT_FALSE(output.out.empty());
  const pid_t background = std::stoi(output.out);
  // The pipes closed only once the background process was dying; it finishes ending at once.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!deadOrZombie(background) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(deadOrZombie(background));
}

TEST(ChildProcessTest, ALongRunningChildWithDiscardedOutputIsWaitedForBoundedAndSignalledByPid) {
  ScratchDir dir;
  const std::filesystem::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ChildCommand command = shell(
      "trap '' TERM; out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2); "
      "echo $out $err > " +
      fifo.string() + "; while :; do sleep 0.05; done");
  command.discardOutput = true;
  ChildProcess child = ChildProcess::start(command);
  // Read once the child has written: by then it ignores SIGTERM.
  std::ifstream in(fifo);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "/dev/null /dev/null\n");

  EXPECT_FALSE(child.hasExited());
  child.signal(SIGTERM);
  EXPECT_FALSE(child.waitForExit(std::chrono::milliseconds(100)));
  child.signal(SIGKILL);
  EXPECT_TRUE(child.waitForExit(std::chrono::seconds(10)));
  EXPECT_EQ(child.pid(), -1);
  EXPECT_TRUE(child.hasExited());
  child.signal(SIGKILL);  // reaped: nothing is sent
  EXPECT_EQ(child.communicate(kMiB).out, "");
}

TEST(ChildProcessTest, TheEnvironmentIsExactlyTheGivenEntries) {
  ChildOutput output = runChild(
      ChildCommand{"/usr/bin/env", {"env"}, {"A=1", "B=two words", "C="}, std::nullopt}, kMiB);
  EXPECT_EQ(output.out, "A=1\nB=two words\nC=\n");
}

TEST(ChildProcessTest, ArgumentsAreTakenUnchanged) {
  ChildOutput output = runChild(
      ChildCommand{
          "/bin/sh", {"custom-name", "-c", "printf '%s|' \"$0\" \"$1\"", "zero", "a b"}, {}, {}},
      kMiB);
  EXPECT_EQ(output.out, "zero|a b|");
}

TEST(ChildProcessTest, RunsInTheGivenWorkingDirectory) {
  ScratchDir dir;
  ChildCommand command = shell("pwd");
  command.cwd = dir.path().string();
  EXPECT_EQ(runChild(command, kMiB).out, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(ChildProcessTest, ARelativeExecutableIsFoundFromTheCallersDirectoryNotTheChilds) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "bin");
  std::filesystem::create_directories(dir.path() / "elsewhere");
  writeFile(dir.path() / "bin" / "hello", "#!/bin/sh\necho hello from $(pwd)\n", 0755);
  std::filesystem::path relative =
      std::filesystem::relative(dir.path() / "bin" / "hello", std::filesystem::current_path());
  ASSERT_TRUE(relative.is_relative());

  ChildCommand command{relative.string(), {"hello"}, {}, (dir.path() / "elsewhere").string()};
  ChildOutput output = runChild(command, kMiB);
  EXPECT_EQ(output.out,
            "hello from " + std::filesystem::canonical(dir.path() / "elsewhere").string() + "\n");
}

struct StartFailure {
  const char* name;
  ChildCommand command;
  int errorNumber;
  const char* message;
};

class ChildStartFailureTest : public ::testing::TestWithParam<StartFailure> {};

TEST_P(ChildStartFailureTest, ThrowsWithTheReason) {
  const StartFailure& failure = GetParam();
  try {
    (void)runChild(failure.command, kMiB);
    FAIL() << "started";
  } catch (const ChildStartError& error) {
    EXPECT_EQ(error.errorNumber(), failure.errorNumber);
    EXPECT_STREQ(error.what(), failure.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildStartFailureTest,
    ::testing::Values(StartFailure{"MissingExecutable",
                                   {"/nonexistent/tool", {"tool"}, {}, std::nullopt},
                                   ENOENT,
                                   "failed to start /nonexistent/tool: No such file or directory"},
                      StartFailure{"MissingWorkingDirectory",
                                   {"/bin/sh", {"sh", "-c", "true"}, {}, "/nonexistent/dir"},
                                   ENOENT,
                                   "failed to start /bin/sh: No such file or directory"},
                      StartFailure{
                          "BareNameIsNoPathSearch",
                          {"sh-that-is-not-here", {"sh"}, {}, std::nullopt},
                          ENOENT,
                          "failed to start sh-that-is-not-here: No such file or directory"},
                      StartFailure{"NulInArgument",
                                   {"/bin/sh", {"sh", std::string("a\0b", 3)}, {}, std::nullopt},
                                   EINVAL,
                                   "failed to start /bin/sh: Invalid argument"},
                      StartFailure{"NulInEnvironment",
                                   {"/bin/sh", {"sh"}, {std::string("A=x\0y", 5)}, std::nullopt},
                                   EINVAL,
                                   "failed to start /bin/sh: Invalid argument"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ChildProcessTest, AFileWithoutExecutePermissionDoesNotStart) {
  ScratchDir dir;
  writeFile(dir.path() / "plain", "#!/bin/sh\necho ran\n", 0644);
  std::string path = (dir.path() / "plain").string();
  try {
    (void)runChild(ChildCommand{path, {"plain"}, {}, std::nullopt}, kMiB);
    FAIL() << "started";
  } catch (const ChildStartError& error) {
    EXPECT_EQ(error.errorNumber(), EACCES);
    EXPECT_EQ(std::string(error.what()), "failed to start " + path + ": Permission denied");
  }
}

TEST(ProcessGroupsTest, KillAllEndsEveryRecordedGroupAndRefusesLaterStarts) {
  ProcessGroups groups;
  ChildProcess first = ChildProcess::start(shell("sleep 600 & sleep 600"));
  ChildProcess second = ChildProcess::start(ChildCommand{"/bin/sleep", {"sleep", "600"}, {}, {}});
  ChildProcess bystander = ChildProcess::start(shell("read line; echo unharmed"));
  {
    ProcessGroups::StartGuard guard(groups);
    ASSERT_TRUE(guard.admitted());
    groups.add(first.pid());
    groups.add(second.pid());
  }
  const pid_t firstGroup = first.pid();
  const pid_t secondGroup = second.pid();
  EXPECT_EQ(groups.size(), 2u);
  groups.killAll();
  // The group's background sleep died too, or the pipes would keep communicate() waiting.
  EXPECT_EQ(first.communicate(kMiB).status, SIGKILL);
  EXPECT_EQ(second.communicate(kMiB).status, SIGKILL);
  EXPECT_EQ(ProcessGroups::StartGuard(groups).admitted(), false);
  groups.remove(firstGroup);
  groups.remove(secondGroup);
  EXPECT_EQ(groups.size(), 0u);
  // A group not recorded is left alone: its child reads end of input and finishes by itself.
  EXPECT_EQ(bystander.communicate(kMiB), (ChildOutput{0, "unharmed\n", "", false, false}));
}

TEST(ChildProcessTest, AChildNeverWaitedForIsKilledAndReaped) {
  pid_t pid = -1;
  {
    ChildProcess child = ChildProcess::start(ChildCommand{"/bin/sleep", {"sleep", "600"}, {}, {}});
    pid = child.pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  // Reaped by the destructor: the pid no longer names a process of ours, not even a zombie.
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcessTest, ProcessEnvironmentReadsTheCurrentTable) {
  ASSERT_EQ(::setenv("VARN_CHILD_TEST_VALUE", "a=b c", 1), 0);
  auto table = processEnvironment();
  ::unsetenv("VARN_CHILD_TEST_VALUE");
  ASSERT_TRUE(table.contains("VARN_CHILD_TEST_VALUE"));
  EXPECT_EQ(table.at("VARN_CHILD_TEST_VALUE"), "a=b c");
  EXPECT_THAT(table, Not(::testing::Contains(::testing::Key(HasSubstr("=")))));
}

}  // namespace
}  // namespace varn::support
