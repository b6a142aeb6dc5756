#include "mcp/browser/BrowserManager.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/DevToolsHTTP.hpp"
#include "support/Json.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

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
constexpr int kDeleteTries = 40;
constexpr std::chrono::milliseconds kDeleteInterval{50};

// --- processes, as /proc shows them ---

// Field 22 of /proc/<pid>/stat (the start time in clock ticks since boot); nullopt when there is
// no such process.
std::optional<std::uint64_t> processStartTime(pid_t pid) {
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
      return static_cast<std::uint64_t>(*ticks);
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
bool sameProcess(std::int64_t pid, std::uint64_t startTime) {
  if (pid <= 0 || pid > INT32_MAX) return false;
  std::optional<std::uint64_t> now = processStartTime(static_cast<pid_t>(pid));
  return now && *now == startTime;
}

// SIGTERM to the browser a vanished server left running, when it is still that process; waits
// briefly for it to exit. The pidfd pins the process between the check and the signal, so a
// reused pid is never signalled.
void endRecordedBrowser(std::int64_t pid, std::uint64_t startTime) {
  if (pid <= 0 || pid > INT32_MAX) return;
  // Through syscall(): glibc's <sys/pidfd.h> lacks C linkage for C++.
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) return;
  if (sameProcess(pid, startTime) &&
      ::syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0) == 0) {
    pollfd exit{fd, POLLIN, 0};
    ::poll(&exit, 1, static_cast<int>(kOrphanGrace.count()));
  }
  ::close(fd);
}

// --- the owner record ---

struct OwnerRecord {
  std::string bootId;
  std::int64_t serverPid = 0;
  std::uint64_t serverStart = 0;
  std::optional<std::int64_t> browserPid;
  std::uint64_t browserStart = 0;
};

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
// never sees half of it. A failure leaves no record (the folder then ages out).
void writeOwner(const fs::path& folder, const OwnerRecord& record) {
  support::OrderedJson json = {{"boot_id", record.bootId},
                               {"server_pid", record.serverPid},
                               {"server_start", record.serverStart}};
  if (record.browserPid) {
    json["browser_pid"] = *record.browserPid;
    json["browser_start"] = record.browserStart;
  }
  const std::string text = support::dumpCompact(json);
  const fs::path partial = folder / ".varn-owner.partial";
  int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written || ::rename(partial.c_str(), (folder / kOwnerFile).c_str()) != 0) {
    ::unlink(partial.c_str());
  }
}

// The record of a folder, when it is a regular file of this user that decodes.
std::optional<OwnerRecord> readOwner(const fs::path& folder) {
  int fd = ::open((folder / kOwnerFile).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::array<char, 4096> buffer{};
  ssize_t size = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
    size = ::read(fd, buffer.data(), buffer.size());
  }
  ::close(fd);
  if (size <= 0) return std::nullopt;
  std::optional<Json> json = support::parseJson(std::string_view(buffer.data(), size));
  if (!json || !json->is_object()) return std::nullopt;
  try {
    OwnerRecord record;
    record.bootId = support::requireString(*json, "boot_id");
    record.serverPid = support::requireInt64(*json, "server_pid");
    record.serverStart = static_cast<std::uint64_t>(support::requireInt64(*json, "server_start"));
    record.browserPid = support::optionalInt64(*json, "browser_pid");
    record.browserStart =
        static_cast<std::uint64_t>(support::optionalInt64(*json, "browser_start").value_or(0));
    return record;
  } catch (const support::JsonDecodeError&) {
    return std::nullopt;
  }
}

// --- folders ---

void removeProfile(const fs::path& folder) {
  for (int attempt = 0; attempt < kDeleteTries; ++attempt) {
    std::error_code error;
    fs::remove_all(folder, error);
    if (!error) return;
    std::this_thread::sleep_for(kDeleteInterval);
  }
}

// Deletes the profile folders whose server is gone, ending their browser first, and folders
// without a readable record once they are a day old. Folders of live servers (this one included)
// and of other users are never touched. Reports nothing.
void sweepOrphans(const fs::path& tempFolder) {
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
        removeProfile(entry.path());
      }
      continue;
    }
    // Processes of another boot are gone whatever their numbers say now.
    const bool thisBoot = owner->bootId == self.bootId;
    if (thisBoot && sameProcess(owner->serverPid, owner->serverStart)) continue;
    if (thisBoot && owner->browserPid) endRecordedBrowser(*owner->browserPid, owner->browserStart);
    removeProfile(entry.path());
  }
}

// --- the port and the executable ---

// Whether something already accepts connections on 127.0.0.1:<port>.
bool portInUse(std::int64_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd writable{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof(error);
    int ready = -1;
    do {
      ready = ::poll(&writable, 1, 1000);
    } while (ready < 0 && errno == EINTR);
    connected =
        ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> resolveBinary(const std::vector<std::string>& table) {
  // Read at every start, never cached.
  if (const char* chosen = std::getenv("VARN_BROWSER_BIN"); chosen && isExecutableFile(chosen)) {
    return std::string(chosen);
  }
  for (const std::string& path : table) {
    if (isExecutableFile(path)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> inheritedEnvironment() {
  std::vector<std::string> entries;
  for (const auto& [name, value] : support::processEnvironment()) {
    entries.push_back(name + "=" + value);
  }
  return entries;
}

std::string portText(std::int64_t port) {
  return ":" + std::to_string(port);
}

}  // namespace

const std::vector<std::string>& BrowserManager::defaultExecutables() {
  static const std::vector<std::string> table = {
      "/usr/bin/google-chrome-stable",  "/usr/bin/google-chrome",
      "/opt/google/chrome/chrome",      "/usr/bin/chromium",
      "/usr/bin/chromium-browser",      "/snap/bin/chromium",
      "/usr/bin/brave-browser",         "/opt/brave.com/brave/brave",
      "/usr/bin/microsoft-edge-stable", "/usr/bin/microsoft-edge",
      "/opt/microsoft/msedge/msedge",
  };
  return table;
}

BrowserManager::BrowserManager(std::int64_t port) : BrowserManager(port, Settings{}) {}

BrowserManager::BrowserManager(std::int64_t port, Settings settings)
    : port_(port), settings_(std::move(settings)) {}

BrowserManager::~BrowserManager() {
  stop();
}

fs::path BrowserManager::tempFolder() const {
  return settings_.tempFolder.empty() ? fs::temp_directory_path() : settings_.tempFolder;
}

bool BrowserManager::isRunning() {
  std::lock_guard lock(mutex_);
  return process_ && !process_->hasExited();
}

bool BrowserManager::start(bool headless) {
  std::lock_guard gate(startGate_);
  if (isRunning()) return true;
  if (port_ < 1 || port_ > 65535) {
    throw BrowserError::launchFailure("CDP port " + portText(port_) + " is not a valid port");
  }
  std::optional<std::string> binary = resolveBinary(settings_.executables);
  if (!binary) {
    throw BrowserError::launchFailure("no Chromium-family browser found; set VARN_BROWSER_BIN");
  }
  // A browser of this manager that exited by itself: reap it and delete its folder.
  stop();
  const fs::path temp = tempFolder();
  sweepOrphans(temp);
  if (portInUse(port_)) {
    throw BrowserError::launchFailure("CDP port " + portText(port_) + " is already in use");
  }

  // Made private at once: the temporary folder is shared by every user.
  const fs::path folder = temp / (std::string(kProfilePrefix) + support::randomUUID());
  if (::mkdir(folder.c_str(), 0700) != 0) {
    throw fs::filesystem_error("cannot create the browser profile folder", folder,
                               std::error_code(errno, std::generic_category()));
  }
  OwnerRecord owner = thisServer();
  writeOwner(folder, owner);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    profileDir_ = folder;
    generation = ++generation_;
  }

  support::ChildCommand command;
  command.path = *binary;
  command.argv = {*binary,
                  "--remote-debugging-port=" + std::to_string(port_),
                  "--remote-debugging-address=127.0.0.1",
                  "--remote-allow-origins=*",
                  "--user-data-dir=" + folder.string(),
                  "--no-first-run",
                  "--no-default-browser-check",
                  "--disable-background-networking"};
  if (headless) command.argv.push_back("--headless=new");
  command.environment = inheritedEnvironment();
  command.discardOutput = true;

  std::optional<support::ChildProcess> child;
  try {
    child.emplace(support::ChildProcess::start(command));
  } catch (const support::ChildStartError& error) {
    {
      std::lock_guard lock(mutex_);
      if (profileDir_ == folder) profileDir_.reset();
    }
    removeProfile(folder);
    throw BrowserError::launchFailure(
        "failed to launch " + *binary + ": " +
        std::error_code(error.errorNumber(), std::generic_category()).message());
  }
  owner.browserPid = child->pid();
  owner.browserStart = processStartTime(child->pid()).value_or(0);
  bool recorded = false;
  {
    std::lock_guard lock(mutex_);
    // A stop() since the folder was recorded has deleted it: this launch is void.
    if (generation_ == generation) {
      process_.swap(child);
      recorded = true;
    }
  }
  if (!recorded) {
    child.reset();  // ends it
    throw BrowserError::launchFailure("CDP endpoint on " + portText(port_) +
                                      " did not become ready");
  }
  writeOwner(folder, owner);

  try {
    waitForEndpoint(generation);
  } catch (...) {
    std::unique_lock lock(mutex_);
    const bool ours = generation_ == generation;
    lock.unlock();
    if (ours) stop();
    throw;
  }
  return false;
}

void BrowserManager::waitForEndpoint(std::uint64_t generation) {
  for (int attempt = 0; attempt < settings_.endpointTries; ++attempt) {
    try {
      if (getDevToolsEndpoint(port_, "/json/version").status == 200) return;
    } catch (const DevToolsTransportError&) {
      // Not listening yet.
    }
    std::unique_lock lock(mutex_);
    // A stop() ends the wait at once.
    if (stopped_.wait_for(lock, settings_.endpointInterval,
                          [&] { return generation_ != generation; })) {
      break;
    }
  }
  throw BrowserError::launchFailure("CDP endpoint on " + portText(port_) + " did not become ready");
}

void BrowserManager::stop() noexcept {
  std::optional<support::ChildProcess> process;
  std::optional<fs::path> folder;
  {
    std::lock_guard lock(mutex_);
    process.swap(process_);
    folder.swap(profileDir_);
    ++generation_;
  }
  stopped_.notify_all();
  if (process && !process->hasExited()) {
    process->signal(SIGTERM);
    // Past the grace, the ChildProcess ends its whole group with SIGKILL and reaps it.
    (void)process->waitForExit(settings_.stopGrace);
  }
  process.reset();
  if (folder) removeProfile(*folder);
}

std::string BrowserManager::browserWebSocketURL() {
  DevToolsHTTPResponse response = getDevToolsEndpoint(port_, "/json/version");
  Json version = support::parseJsonOrThrow(response.body);
  if (version.is_object()) {
    auto url = version.find("webSocketDebuggerUrl");
    if (url != version.end() && url->is_string()) {
      const std::string& text = url->get_ref<const std::string&>();
      std::optional<support::UriComponents> parts = support::parseUriReference(text);
      // Only the browser we started may receive commands: an impostor elsewhere gets nothing.
      if (parts && parts->scheme == "ws" && !parts->userinfo &&
          (parts->host == "127.0.0.1" || parts->host == "localhost") &&
          parts->port == std::to_string(port_)) {
        return text;
      }
    }
  }
  throw BrowserError::cdpFailure("no webSocketDebuggerUrl at " + portText(port_));
}

}  // namespace varn::mcp
