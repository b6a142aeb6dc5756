#include "mcp/browser/BrowserManager.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "mcp/browser/BrowserController.hpp"
#include "support/Json.hpp"
#include "support/TcpTable.hpp"
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
constexpr int kDeleteTries = 40;
constexpr std::chrono::milliseconds kDeleteInterval{50};
// Starts the browser with the parent-death signal set (util-linux, part of every Debian system).
constexpr const char* kSetpriv = "/usr/bin/setpriv";
// How long a browser whose pipe ended during its start has to become reapable.
constexpr std::chrono::milliseconds kExitGrace{1000};
// How often the start looks for the browser's listener on the asked-for port.
constexpr std::chrono::milliseconds kPortPollInterval{10};

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

// Whether `browser` (or a process below it) holds the listening socket on 127.0.0.1:<port> and
// nothing else listens on that port, so that a DevTools client on the port reaches the browser
// and no other program. The browser binds the port on a thread of its own, not before it answers
// over its pipe: this waits up to `timeout` for it, and gives up at once when another process
// listens there or `pipe` has ended (a stop() meanwhile).
bool holdsPort(pid_t browser, std::int64_t port, const CDPConnection& pipe,
               std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // The table first: a socket of the browser listed there is among its descriptors read after.
    const std::vector<support::TcpSocket> sockets = support::tcpSockets();
    const std::set<std::uint64_t> held = support::socketInodesOf(support::processTree(browser));
    bool listening = false;
    for (const support::TcpSocket& socket : sockets) {
      if (socket.state != support::kTcpListen || socket.localPort != port) continue;
      if (!held.contains(socket.inode)) return false;
      listening = listening || socket.localAddress == "127.0.0.1";
    }
    if (listening) return true;
    if (pipe.ended() || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(kPortPollInterval);
  }
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

// The server's environment with TMPDIR "." (the browser runs in its profile folder): Chromium
// makes its own temporary folder there, and the path of the socket in it stays within the limit
// of a Unix socket address however long the profile's path is.
std::vector<std::string> browserEnvironment() {
  std::map<std::string, std::string> table = support::processEnvironment();
  table["TMPDIR"] = ".";
  std::vector<std::string> entries;
  for (const auto& [name, value] : table) entries.push_back(name + "=" + value);
  return entries;
}

// A pipe whose two ends are close-on-exec.
std::pair<int, int> makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw BrowserError::launchFailure("cannot make the DevTools pipe: " +
                                      std::error_code(errno, std::generic_category()).message());
  }
  return {ends[0], ends[1]};
}

// How a browser that ended during its start ended.
std::string exitText(std::optional<int> status) {
  if (status && WIFEXITED(*status))
    return "with exit status " + std::to_string(WEXITSTATUS(*status));
  if (status && WIFSIGNALED(*status)) return "with signal " + std::to_string(WTERMSIG(*status));
  return "";
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

// Runs the launches on one thread that lives as long as the manager.
struct BrowserManager::Launcher {
  Launcher() : thread([this] { loop(); }) {}
  ~Launcher() {
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    wake.notify_all();
    thread.join();
  }
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // ChildProcess::start of `command` on the launcher's thread; its error passes through.
  support::ChildProcess launch(const support::ChildCommand& command) {
    std::packaged_task<support::ChildProcess()> task(
        [&command] { return support::ChildProcess::start(command); });
    std::future<support::ChildProcess> result = task.get_future();
    {
      std::lock_guard lock(mutex);
      tasks.push_back(&task);
    }
    wake.notify_all();
    return result.get();
  }

  void loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return done || !tasks.empty(); });
      if (tasks.empty()) return;
      auto* task = tasks.front();
      tasks.pop_front();
      lock.unlock();
      (*task)();
      lock.lock();
    }
  }

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::packaged_task<support::ChildProcess()>*> tasks;  // guarded by mutex
  bool done = false;                                               // guarded by mutex
  std::thread thread;  // last: started once the rest exists
};

BrowserManager::BrowserManager(std::optional<std::int64_t> port)
    : BrowserManager(port, Settings{}) {}

BrowserManager::BrowserManager(std::optional<std::int64_t> port, Settings settings)
    : port_(port), settings_(std::move(settings)) {}

BrowserManager::~BrowserManager() {
  stop();
}

fs::path BrowserManager::tempFolder() const {
  return settings_.tempFolder.empty() ? fs::temp_directory_path() : settings_.tempFolder;
}

void BrowserManager::setEventHandler(EventHandler handler) {
  std::lock_guard lock(mutex_);
  onEvent_ = std::move(handler);
}

bool BrowserManager::isRunning() {
  std::lock_guard lock(mutex_);
  return process_ && !process_->hasExited();
}

bool BrowserManager::start(bool headless) {
  std::lock_guard gate(startGate_);
  if (isRunning()) return true;
  if (port_ && (*port_ < 1 || *port_ > 65535)) {
    throw BrowserError::launchFailure("CDP port " + portText(*port_) + " is not a valid port");
  }
  std::optional<std::string> binary = resolveBinary(settings_.executables);
  if (!binary) {
    throw BrowserError::launchFailure("no Chromium-family browser found; set VARN_BROWSER_BIN");
  }
  // A browser of this manager that exited by itself: reap it and delete its folder.
  stop();
  const fs::path temp = tempFolder();
  sweepOrphans(temp);
  if (port_ && portInUse(*port_)) {
    throw BrowserError::launchFailure("CDP port " + portText(*port_) + " is already in use");
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
  // The browser reads commands on its descriptor 3 and writes replies and events on 4.
  const auto [commandsIn, commandsOut] = makePipe();
  const auto [repliesIn, repliesOut] = makePipe();
  EventHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = onEvent_;
  }
  // The connection owns the server's ends from here on, whatever happens below. Its handler names
  // the connection, set before its I/O thread starts.
  auto self = std::make_shared<const CDPConnection*>(nullptr);
  auto connection =
      std::make_shared<CDPConnection>(repliesIn, commandsOut, [handler, self](const Json& event) {
        if (handler) handler(**self, event);
      });
  *self = connection.get();

  support::ChildCommand command;
  // setpriv becomes the browser (the same process) with the parent-death signal set. The path is
  // made absolute: setpriv would look a bare name up in PATH.
  command.path = kSetpriv;
  command.argv = {kSetpriv,
                  "--pdeathsig",
                  "KILL",
                  "--",
                  fs::absolute(*binary).string(),
                  "--remote-debugging-pipe"};
  if (port_) {
    command.argv.push_back("--remote-debugging-port=" + std::to_string(*port_));
    command.argv.push_back("--remote-debugging-address=127.0.0.1");
  }
  command.argv.push_back("--user-data-dir=" + folder.string());
  command.argv.push_back("--no-first-run");
  command.argv.push_back("--no-default-browser-check");
  command.argv.push_back("--disable-background-networking");
  if (headless) command.argv.push_back("--headless=new");
  command.environment = browserEnvironment();
  command.cwd = folder.string();
  command.discardOutput = true;
  command.passedFds = {commandsIn, repliesOut};

  // Made by the first start, so that the thread inherits the signal mask of the server's
  // threads (SIGINT and SIGTERM blocked) rather than that of the thread that built the manager.
  if (!launcher_) launcher_ = std::make_unique<Launcher>();
  std::optional<support::ChildProcess> child;
  int launchError = 0;
  try {
    child.emplace(launcher_->launch(command));
  } catch (const support::ChildStartError& error) {
    launchError = error.errorNumber();
  }
  // The browser's ends are the browser's alone, so that its exit ends the pipe.
  ::close(commandsIn);
  ::close(repliesOut);
  if (!child) {
    {
      std::lock_guard lock(mutex_);
      if (profileDir_ == folder) profileDir_.reset();
    }
    removeProfile(folder);
    throw BrowserError::launchFailure(
        "failed to launch " + *binary + ": " +
        std::error_code(launchError, std::generic_category()).message());
  }
  owner.browserPid = child->pid();
  owner.browserStart = processStartTime(child->pid()).value_or(0);
  bool recorded = false;
  {
    std::lock_guard lock(mutex_);
    // A stop() since the folder was recorded has deleted it: this launch is void.
    if (generation_ == generation) {
      process_.swap(child);
      connection_ = connection;
      recorded = true;
    }
  }
  if (!recorded) {
    child.reset();  // ends it
    throw BrowserError::launchFailure("CDP pipe did not become ready");
  }
  writeOwner(folder, owner);

  // Ready once it answers over the pipe; a stop() meanwhile closes the pipe and ends the wait.
  // With a port, also once it listens there itself.
  connection->connect();
  std::string failure = "CDP pipe did not become ready";
  bool pipeFailed = true;
  try {
    (void)connection->send("Browser.getVersion", Json::object(), std::nullopt,
                           settings_.readyTimeout);
    if (!port_ || holdsPort(static_cast<pid_t>(*owner.browserPid), *port_, *connection,
                            settings_.readyTimeout)) {
      return false;
    }
    if (!connection->ended()) {
      failure = "CDP port " + portText(*port_) + " is already in use";
      pipeFailed = false;
    }
  } catch (const BrowserError&) {
  }
  // Not ready: this launch is ended here, unless a stop() or another start came meanwhile.
  std::optional<support::ChildProcess> process;
  std::shared_ptr<CDPConnection> pipe;
  std::optional<fs::path> profile;
  {
    std::lock_guard lock(mutex_);
    if (generation_ == generation) {
      process.swap(process_);
      pipe.swap(connection_);
      profile.swap(profileDir_);
      ++generation_;
    }
  }
  // The pipe ends as the browser exits, a moment before it can be reaped.
  std::optional<int> exited;
  if (process && pipeFailed && process->waitForExit(kExitGrace)) exited = process->waitStatus();
  endRun(std::move(process), std::move(pipe), std::move(profile));
  if (exited) throw BrowserError::launchFailure("browser exited during start " + exitText(exited));
  throw BrowserError::launchFailure(failure);
}

void BrowserManager::stop() noexcept {
  std::optional<support::ChildProcess> process;
  std::shared_ptr<CDPConnection> connection;
  std::optional<fs::path> folder;
  {
    std::lock_guard lock(mutex_);
    process.swap(process_);
    connection.swap(connection_);
    folder.swap(profileDir_);
    ++generation_;
  }
  endRun(std::move(process), std::move(connection), std::move(folder));
}

void BrowserManager::endRun(std::optional<support::ChildProcess> process,
                            std::shared_ptr<CDPConnection> connection,
                            std::optional<std::filesystem::path> folder) const noexcept {
  // Never waits on the browser: a frozen one is killed all the same.
  if (connection) connection->close();
  if (process && !process->hasExited()) {
    process->signal(SIGTERM);
    // Past the grace, the ChildProcess ends its whole group with SIGKILL and reaps it.
    (void)process->waitForExit(settings_.stopGrace);
  }
  process.reset();
  if (folder) removeProfile(*folder);
}

std::shared_ptr<CDPConnection> BrowserManager::connection() {
  std::lock_guard lock(mutex_);
  if (!connection_) throw BrowserError::cdpFailure("connection closed");
  return connection_;
}

bool BrowserManager::portClientConnected() const {
  if (!port_) return false;
  for (const support::TcpSocket& socket : support::tcpSockets()) {
    if (socket.state == support::kTcpEstablished && socket.localPort == *port_) return true;
  }
  return false;
}

}  // namespace varn::mcp
