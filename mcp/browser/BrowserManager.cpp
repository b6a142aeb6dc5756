#include "mcp/browser/BrowserManager.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <system_error>
#include <thread>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/BrowserSwitches.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/DevToolsPort.hpp"
#include "mcp/browser/ProfileFolder.hpp"
#include "support/Json.hpp"
#include "support/Utf8.hpp"
#include "support/Uuid.hpp"

namespace varn::mcp {

namespace fs = std::filesystem;
using support::Json;

namespace {

// Starts the browser with the parent-death signal set (util-linux, part of every Debian system).
constexpr const char* kSetpriv = "/usr/bin/setpriv";
// How long a browser whose pipe ended during its start has to become reapable.
constexpr std::chrono::milliseconds kExitGrace{1000};

// --- the port and the executable ---

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
// of a Unix socket address however long the profile's path is. HOME and the XDG base folders lie
// in the profile's home too: Chromium keeps its crash reports under the home's configuration
// folder whatever its --user-data-dir (and Debian's build honours no switch that stops them), NSS
// its certificate database and dconf its cache under the home, so all of it goes with the
// profile. An X display's authority stays the user's, which X clients look for in the home.
std::vector<std::string> browserEnvironment(const fs::path& folder) {
  std::map<std::string, std::string> table = support::processEnvironment();
  const auto home = table.find("HOME");
  if (!table.contains("XAUTHORITY") && home != table.end() && !home->second.empty()) {
    table["XAUTHORITY"] = home->second + "/.Xauthority";
  }
  const fs::path browserHome = fs::absolute(ProfileFolder::home(folder));
  table["HOME"] = browserHome.string();
  for (const auto& [name, below] : kBrowserHomeFolders)
    table[name] = (browserHome / below).string();
  table["TMPDIR"] = ".";
  std::vector<std::string> entries;
  for (const auto& [name, value] : table) entries.push_back(name + "=" + value);
  return entries;
}

// The two ends of a pipe, both close-on-exec.
struct PipeEnds {
  support::UniqueFd read;
  support::UniqueFd write;
};

PipeEnds makePipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw BrowserError::launchFailure("cannot make the DevTools pipe: " +
                                      std::error_code(errno, std::generic_category()).message());
  }
  return {support::UniqueFd(ends[0]), support::UniqueFd(ends[1])};
}

// The command that starts `binary` on its DevTools pipe (`passedFds`, its 3 and 4) with the
// profile `folder`: through setpriv, which becomes the browser (the same process) with the
// parent-death signal set. The path is made absolute: setpriv would look a bare name up in PATH.
support::ChildCommand browserCommand(const std::string& binary, const fs::path& folder,
                                     bool headless, std::optional<std::int64_t> port,
                                     std::vector<int> passedFds) {
  support::ChildCommand command;
  command.path = kSetpriv;
  command.argv = {kSetpriv,
                  "--pdeathsig",
                  "KILL",
                  "--",
                  fs::absolute(binary).string(),
                  "--remote-debugging-pipe"};
  if (port) {
    command.argv.push_back("--remote-debugging-port=" + std::to_string(*port));
    command.argv.push_back("--remote-debugging-address=127.0.0.1");
  }
  command.argv.push_back("--user-data-dir=" + folder.string());
  command.argv.insert(command.argv.end(), std::begin(kBrowserSwitches), std::end(kBrowserSwitches));
  if (headless) command.argv.push_back("--headless=new");
  command.environment = browserEnvironment(folder);
  command.cwd = folder.string();
  command.discardOutput = true;
  command.passedFds = std::move(passedFds);
  return command;
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
  const std::string binary = findExecutable();
  // A browser of this manager that exited by itself: reap it and delete its folder.
  stop();
  const fs::path temp = tempFolder();
  ProfileFolder::sweepOrphans(temp);
  if (port_ && DevToolsPort::inUse(*port_)) {
    throw BrowserError::launchFailure("CDP port " + portText(*port_) + " is already in use");
  }
  const fs::path folder = ProfileFolder::create(temp);
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    profileDir_ = folder;
    generation = ++generation_;
  }
  const Launched launched = launch(binary, folder, headless, generation);
  ProfileFolder::recordBrowser(folder, launched.pid);
  awaitReady(generation, *launched.connection, launched.pid);
  return false;
}

std::string BrowserManager::findExecutable() const {
  if (port_ && (*port_ < 1 || *port_ > 65535)) {
    throw BrowserError::launchFailure("CDP port " + portText(*port_) + " is not a valid port");
  }
  std::optional<std::string> binary = resolveBinary(settings_.executables);
  if (!binary) {
    throw BrowserError::launchFailure("no Chromium-family browser found; set VARN_BROWSER_BIN");
  }
  return *binary;
}

BrowserManager::Launched BrowserManager::launch(const std::string& binary, const fs::path& folder,
                                                bool headless, std::uint64_t generation) {
  // The browser reads commands on its descriptor 3 and writes replies and events on 4.
  PipeEnds commands = makePipe();
  PipeEnds replies = makePipe();
  EventHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = onEvent_;
  }
  // The connection owns the server's ends from here on, whatever happens below. Its handler names
  // the connection, set before its I/O thread starts.
  auto self = std::make_shared<const CDPConnection*>(nullptr);
  auto connection = std::make_shared<CDPConnection>(
      std::move(replies.read), std::move(commands.write), [handler, self](const Json& event) {
        if (handler) handler(**self, event);
      });
  *self = connection.get();
  const support::ChildCommand command =
      browserCommand(binary, folder, headless, port_, {commands.read.get(), replies.write.get()});

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
  commands.read.reset();
  replies.write.reset();
  if (!child) {
    {
      std::lock_guard lock(mutex_);
      if (profileDir_ == folder) profileDir_.reset();
    }
    ProfileFolder::remove(folder);
    throw BrowserError::launchFailure(
        "failed to launch " + binary + ": " +
        std::error_code(launchError, std::generic_category()).message());
  }
  const pid_t browser = child->pid();
  {
    std::lock_guard lock(mutex_);
    // A stop() since the folder was recorded has deleted it: this launch is void.
    if (generation_ == generation) {
      process_.swap(child);
      connection_ = connection;
    }
  }
  if (child) {
    child.reset();  // ends it
    throw BrowserError::launchFailure("CDP pipe did not become ready");
  }
  return {std::move(connection), browser};
}

std::chrono::milliseconds BrowserManager::readyWindow() const {
  // Ending a browser that is not ready takes up to kExitGrace, then stopGrace, then the removal
  // of its folder: the call keeps that much of its budget for it.
  const std::chrono::milliseconds ending =
      kExitGrace + settings_.stopGrace + ProfileFolder::kRemoveWait;
  return CallBudget::clamp(settings_.readyTimeout + ending, "the browser start") - ending;
}

void BrowserManager::awaitReady(std::uint64_t generation, CDPConnection& connection,
                                pid_t browser) {
  // Ready once it answers over the pipe; a stop() meanwhile closes the pipe and ends the wait.
  // With a port, also once it listens there itself.
  connection.connect();
  std::string failure = "CDP pipe did not become ready";
  bool pipeFailed = true;
  try {
    const std::chrono::milliseconds window = readyWindow();
    if (window > std::chrono::milliseconds(0)) {
      const auto until = std::chrono::steady_clock::now() + window;
      (void)connection.send("Browser.getVersion", Json::object(), std::nullopt, window);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (!port_ || DevToolsPort::heldBy(browser, *port_, connection, left)) return;
      if (!connection.ended()) {
        failure = "CDP port " + portText(*port_) + " is already in use";
        pipeFailed = false;
      }
    }
  } catch (const BrowserError&) {
    // Not ready in time (the call's budget included), or stopped meanwhile.
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
  if (folder) ProfileFolder::remove(*folder);
}

std::shared_ptr<CDPConnection> BrowserManager::connection() {
  std::lock_guard lock(mutex_);
  if (!connection_) throw BrowserError::cdpFailure("connection closed");
  return connection_;
}

bool BrowserManager::portClientConnected() const {
  return port_ && DevToolsPort::clientConnected(*port_);
}

}  // namespace varn::mcp
