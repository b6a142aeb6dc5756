#include "mcp/secrets/AuditLog.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace varn::mcp {
namespace {

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varn-audit-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the file does not end with a line feed";
  return lines;
}

AuditEntry parseLine(const std::string& line) {
  std::optional<support::Json> json = support::parseJson(line);
  if (!json) throw std::runtime_error("not JSON: " + line);
  return AuditEntry::fromJson(*json);
}

WallClock fixedClock(double seconds) {
  return [seconds] { return seconds; };
}

TEST(AuditLog, FirstAppendCreatesTheFileWithMode0600AndLaterAppendsAddLines) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  {
    AuditLog audit(path, fixedClock(1796576106));
    audit.append("totp_code", "varn://local/GitHub/otp", std::nullopt, "allowed");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(readLines(path).size(), 1u);
    audit.append("http_call", "varn://local/API/token", "api.example.com", "denied");
  }
  AuditLog laterRun(path, fixedClock(1796576107));
  laterRun.append("mint_token", "varn://local/A/b", std::nullopt, "refused");

  std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[0],
      R"({"ts":"2026-12-06T16:55:06Z","tool":"totp_code","ref":"varn:\/\/local\/GitHub\/otp",)"
      R"("decision":"allowed"})");
  EXPECT_EQ(lines[1],
            R"({"ts":"2026-12-06T16:55:06Z","tool":"http_call","ref":"varn:\/\/local\/API\/token",)"
            R"("upstream":"api.example.com","decision":"denied"})");
  EXPECT_EQ(parseLine(lines[2]), (AuditEntry{"2026-12-06T16:55:07Z", "mint_token",
                                             "varn://local/A/b", std::nullopt, "refused"}));
}

TEST(AuditLog, ExistingFileKeepsItsMode) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  { std::ofstream(path) << ""; }
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  AuditLog audit(path, fixedClock(0));
  audit.append("totp_code", "varn://a/b/c", std::nullopt, "allowed");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_EQ(readLines(path).size(), 1u);
}

TEST(AuditLog, AbsentOptionalsAreLeftOutAndSlashesEscapedEverywhere) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  AuditLog audit(path, fixedClock(0));
  audit.append("run_command", std::nullopt, "/bin/echo a/b", "kill_switch");
  std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], R"({"ts":"1970-01-01T00:00:00Z","tool":"run_command",)"
                      R"("upstream":"\/bin\/echo a\/b","decision":"kill_switch"})");
  EXPECT_EQ(parseLine(lines[0]).upstream, "/bin/echo a/b");
}

TEST(AuditLog, WithoutAFileEveryEntryStaysInMemoryInOrder) {
  double now = 10;
  AuditLog audit(std::nullopt, [&now] { return now; });
  audit.append("a", "r1", std::nullopt, "allowed");
  now = 11.75;
  audit.append("b", std::nullopt, "u", "denied");
  EXPECT_EQ(audit.all(), (std::vector<AuditEntry>{
                             {"1970-01-01T00:00:10Z", "a", "r1", std::nullopt, "allowed"},
                             {"1970-01-01T00:00:11Z", "b", std::nullopt, "u", "denied"},
                         }));
}

TEST(AuditLog, MemoryKeepsOnlyTheMostRecentEntriesWhileTheFileKeepsAll) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  AuditLog audit(path, fixedClock(0));
  const std::size_t total = AuditLog::kMaxEntriesInMemory + 5;
  for (std::size_t i = 0; i < total; ++i) {
    audit.append("t", "ref-" + std::to_string(i), std::nullopt, "allowed");
  }
  std::vector<AuditEntry> kept = audit.all();
  ASSERT_EQ(kept.size(), AuditLog::kMaxEntriesInMemory);
  EXPECT_EQ(kept.front().ref, "ref-5");
  EXPECT_EQ(kept.back().ref, "ref-" + std::to_string(total - 1));
  EXPECT_EQ(readLines(path).size(), total);
}

TEST(AuditLog, MissingFolderFailsSilentlyAndKeepsTheEntry) {
  TempFolder folder;
  const std::string path = folder.file("absent/mcp-audit.log");
  AuditLog audit(path, fixedClock(0));
  testing::internal::CaptureStderr();
  audit.append("t", "r", std::nullopt, "allowed");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(audit.all().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(AuditLog, ExistingPathThatCannotBeOpenedReportsOnStandardError) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  // A folder in the file's place cannot be opened for writing, not even by root.
  std::filesystem::create_directory(path);
  AuditLog audit(path, fixedClock(0));
  testing::internal::CaptureStderr();
  audit.append("t", "r", std::nullopt, "allowed");
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "varn-mcp: audit write failed: cannot open " + path + ": Is a directory\n");
  EXPECT_EQ(audit.all().size(), 1u);
}

TEST(AuditLog, TwoProcessesAppendingToOneFileLoseNoLine) {
  TempFolder folder;
  const std::string path = folder.file("mcp-audit.log");
  constexpr int kPerProcess = 1000;
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      AuditLog audit(path, fixedClock(0));
      const std::string tool = "writer-" + std::to_string(writer);
      for (int i = 0; i < kPerProcess; ++i) {
        audit.append(tool, "varn://local/item/field-" + std::to_string(i), "host/path", "allowed");
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<std::string> lines = readLines(path);
  ASSERT_EQ(lines.size(), 2u * kPerProcess);
  std::map<std::string, int> perTool;
  for (const std::string& line : lines) {
    AuditEntry entry = parseLine(line);
    ++perTool[entry.tool];
  }
  EXPECT_EQ(perTool,
            (std::map<std::string, int>{{"writer-0", kPerProcess}, {"writer-1", kPerProcess}}));
}

TEST(AuditEntry, DecodingRequiresTsToolAndDecisionAndIgnoresOtherKeys) {
  support::Json full = support::Json::parse(
      R"({"ts":"x","tool":"t","ref":"r","upstream":"u","decision":"d","extra":1})");
  EXPECT_EQ(AuditEntry::fromJson(full), (AuditEntry{"x", "t", "r", "u", "d"}));
  support::Json nulls = support::Json::parse(R"({"ts":"x","tool":"t","ref":null,"decision":"d"})");
  EXPECT_EQ(AuditEntry::fromJson(nulls), (AuditEntry{"x", "t", std::nullopt, std::nullopt, "d"}));
  for (const char* key : {"ts", "tool", "decision"}) {
    support::Json missing = full;
    missing.erase(key);
    EXPECT_THROW((void)AuditEntry::fromJson(missing), support::JsonDecodeError) << key;
  }
}

}  // namespace
}  // namespace varn::mcp
