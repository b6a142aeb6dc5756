#include "mcp/browser/ProfileFolder.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "support/Json.hpp"
#include "support/JsonRecord.hpp"
#include "support/UniqueFd.hpp"
#include "support/Utf8.hpp"
#include "support/Uuid.hpp"

namespace varn::mcp {

namespace fs = std::filesystem;
using support::Json;

namespace {

constexpr std::string_view kProfilePrefix = "varn-browser-";
constexpr const char* kOwnerFile = "varn-owner.json";
// A folder without a readable owner record is left alone unless it is older than this.
constexpr std::chrono::hours kUnownedFolderAge{24};
// How long the sweep waits for a recorded browser of a vanished server to exit after SIGTERM.
constexpr std::chrono::milliseconds kOrphanGrace{500};
// Deleting a profile is retried while the browser's helpers still write into it.
constexpr std::chrono::milliseconds kDeleteInterval{50};
constexpr int kDeleteTries = ProfileFolder::kRemoveWait / kDeleteInterval;

// --- processes, as /proc shows them ---

// Field 22 of /proc/<pid>/stat (the start time in clock ticks since boot); nullopt when there is
// no such process.
std::optional<std::int64_t> processStartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) is in parentheses and may hold anything, ")" included.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int number = 3; fields >> field; ++number) {
    if (number == 22) {
      std::optional<std::int64_t> ticks = support::parseDecimalInt64(field);
      if (!ticks || *ticks < 0) return std::nullopt;
      return ticks;
    }
  }
  return std::nullopt;
}

std::string bootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

// Whether the process `pid` is the one that started at `startTime` in this boot.
bool sameProcess(std::int64_t pid, std::int64_t startTime) {
  if (pid <= 0 || pid > INT32_MAX) return false;
  std::optional<std::int64_t> now = processStartTime(static_cast<pid_t>(pid));
  return now && *now == startTime;
}

// SIGTERM to the browser a vanished server left running, when it is still that process; waits
// briefly for it to exit. The pidfd pins the process between the check and the signal, so a
// reused pid is never signalled.
void endRecordedBrowser(std::int64_t pid, std::int64_t startTime) {
  if (pid <= 0 || pid > INT32_MAX) return;
  // Through syscall(): glibc's <sys/pidfd.h> lacks C linkage for C++.
  const support::UniqueFd process(
      static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
  if (!process) return;
  if (!sameProcess(pid, startTime) ||
      ::syscall(SYS_pidfd_send_signal, process.get(), SIGTERM, nullptr, 0) != 0) {
    return;
  }
  const auto until = std::chrono::steady_clock::now() + kOrphanGrace;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd exit{process.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&exit, 1, static_cast<int>(left.count())) >= 0 ||
        errno != EINTR) {
      return;
    }
  }
}

// --- the owner record ---

// The record's start times are clock ticks since boot, which a signed 64-bit integer holds.
struct OwnerRecord {
  std::string bootId;
  std::int64_t serverPid = 0;
  std::int64_t serverStart = 0;
  std::optional<std::int64_t> browserPid;
  std::optional<std::int64_t> browserStart;
};

VARN_JSON_RECORD(OwnerRecord, "owner record", VARN_JSON_FIELD_AS(bootId, "boot_id"),
                 VARN_JSON_FIELD_AS(serverPid, "server_pid"),
                 VARN_JSON_FIELD_AS(serverStart, "server_start"),
                 VARN_JSON_FIELD_AS(browserPid, "browser_pid"),
                 VARN_JSON_FIELD_AS(browserStart, "browser_start"));

const OwnerRecord& thisServer() {
  static const OwnerRecord record = [] {
    OwnerRecord r;
    r.bootId = bootId();
    r.serverPid = ::getpid();
    r.serverStart = processStartTime(::getpid()).value_or(0);
    return r;
  }();
  return record;
}

// Written beside the profile under a temporary name and renamed over the record, so a reader
// never sees half of it. A failure leaves the record as it was (none at first: the folder then
// ages out).
void writeOwner(const fs::path& folder, const OwnerRecord& record) {
  const std::string text = support::dumpCompact(support::encodeRecord(record));
  const fs::path partial = folder / ".varn-owner.partial";
  bool written = false;
  {
    const support::UniqueFd file(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file) return;
    written = support::writeAll(file.get(), text).error == 0;
  }
  if (!written || ::rename(partial.c_str(), (folder / kOwnerFile).c_str()) != 0) {
    ::unlink(partial.c_str());
  }
}

// The record of a folder, when it is a regular file of this user that decodes.
std::optional<OwnerRecord> readOwner(const fs::path& folder) {
  const support::UniqueFd file(
      ::open((folder / kOwnerFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file) return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  // The record is written whole by one writer; a longer file is no record of ours.
  std::array<char, 4096> buffer{};
  std::size_t size = 0;
  while (size < buffer.size()) {
    const ssize_t n = ::read(file.get(), buffer.data() + size, buffer.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  std::optional<Json> json = support::parseJson(std::string_view(buffer.data(), size));
  if (!json) return std::nullopt;
  try {
    return support::decodeRecord<OwnerRecord>(*json);
  } catch (const support::JsonDecodeError&) {
    return std::nullopt;
  }
}

}  // namespace

fs::path ProfileFolder::create(const fs::path& tempFolder) {
  // Made private at once: the temporary folder is shared by every user.
  const fs::path folder = tempFolder / (std::string(kProfilePrefix) + support::randomUUID());
  if (::mkdir(folder.c_str(), 0700) != 0) {
    throw fs::filesystem_error("cannot create the browser profile folder", folder,
                               std::error_code(errno, std::generic_category()));
  }
  writeOwner(folder, thisServer());
  if (::mkdir(home(folder).c_str(), 0700) != 0) {
    const std::error_code error(errno, std::generic_category());
    remove(folder);
    throw fs::filesystem_error("cannot create the browser's home", home(folder), error);
  }
  return folder;
}

fs::path ProfileFolder::home(const fs::path& folder) {
  return folder / "home";
}

void ProfileFolder::recordBrowser(const fs::path& folder, pid_t browser) {
  OwnerRecord owner = thisServer();
  owner.browserPid = browser;
  owner.browserStart = processStartTime(browser).value_or(0);
  writeOwner(folder, owner);
}

void ProfileFolder::remove(const fs::path& folder) noexcept {
  for (int attempt = 0; attempt < kDeleteTries; ++attempt) {
    std::error_code error;
    fs::remove_all(folder, error);
    if (!error) return;
    std::this_thread::sleep_for(kDeleteInterval);
  }
}

void ProfileFolder::sweepOrphans(const fs::path& tempFolder) {
  std::error_code error;
  fs::directory_iterator entries(tempFolder, error);
  if (error) return;
  const OwnerRecord& self = thisServer();
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kProfilePrefix, 0) != 0) continue;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
      continue;
    }
    std::optional<OwnerRecord> owner = readOwner(entry.path());
    if (!owner) {
      auto modified = std::chrono::system_clock::from_time_t(info.st_mtime);
      if (std::chrono::system_clock::now() - modified > kUnownedFolderAge) {
        remove(entry.path());
      }
      continue;
    }
    // Processes of another boot are gone whatever their numbers say now.
    const bool thisBoot = owner->bootId == self.bootId;
    if (thisBoot && sameProcess(owner->serverPid, owner->serverStart)) continue;
    if (thisBoot && owner->browserPid) {
      endRecordedBrowser(*owner->browserPid, owner->browserStart.value_or(0));
    }
    remove(entry.path());
  }
}

}  // namespace varn::mcp
