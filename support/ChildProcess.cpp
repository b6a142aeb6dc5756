#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <utility>

#include "support/ProcessGroups.hpp"

namespace varn::support {
namespace {

// A pipe whose two ends are close-on-exec and numbered 3 or higher, so that the child's
// dup2 onto 1 and 2 never meets an end that already sits there. Returns errno on failure.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) return errno;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  for (UniqueFd* end : {&readEnd, &writeEnd}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    end->reset(moved);
  }
  return 0;
}

bool holdsNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

bool commandHoldsNul(const ChildCommand& command) {
  if (holdsNul(command.path) || (command.cwd && holdsNul(*command.cwd))) return true;
  for (const auto& arg : command.argv) {
    if (holdsNul(arg)) return true;
  }
  for (const auto& entry : command.environment) {
    if (holdsNul(entry)) return true;
  }
  return false;
}

// The executable as the child must see it after its chdir: a relative path is anchored at the
// caller's own current directory first.
int executablePath(const ChildCommand& command, std::string& out) {
  out = command.path;
  if (!command.cwd || command.path.empty() || command.path.front() == '/') return 0;
  std::string here(PATH_MAX, '\0');
  if (::getcwd(here.data(), here.size()) == nullptr) return errno;
  here.resize(std::char_traits<char>::length(here.c_str()));
  out = here + (here.back() == '/' ? "" : "/") + command.path;
  return 0;
}

std::vector<char*> cStrings(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (const auto& text : texts) out.push_back(const_cast<char*>(text.c_str()));
  out.push_back(nullptr);
  return out;
}

class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  bool ok() const noexcept { return ok_; }
  posix_spawn_file_actions_t* get() noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (ok_) ::posix_spawnattr_destroy(&attributes_);
  }
  bool ok() const noexcept { return ok_; }
  posix_spawnattr_t* get() noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

// Standard input from /dev/null, the pipes (or /dev/null when they are -1) on 1 and 2, the passed
// descriptors on 3, 4, ..., nothing else from 3 up, then the working directory. The passed ones
// are numbered above 2 + their count, so that no dup2 meets one that is still to be moved.
// Returns the first failing call's error.
int prepareActions(FileActions& actions, int outWrite, int errWrite,
                   const std::vector<UniqueFd>& passed, const std::optional<std::string>& cwd) {
  if (!actions.ok()) return ENOMEM;
  if (int rc = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0)) {
    return rc;
  }
  for (auto [from, to] : {std::pair{outWrite, 1}, std::pair{errWrite, 2}}) {
    int rc = from >= 0
                 ? ::posix_spawn_file_actions_adddup2(actions.get(), from, to)
                 : ::posix_spawn_file_actions_addopen(actions.get(), to, "/dev/null", O_WRONLY, 0);
    if (rc != 0) return rc;
  }
  int next = 3;
  for (const UniqueFd& fd : passed) {
    if (int rc = ::posix_spawn_file_actions_adddup2(actions.get(), fd.get(), next++)) return rc;
  }
  if (int rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), next)) return rc;
  if (cwd) {
    if (int rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), cwd->c_str())) return rc;
  }
  return 0;
}

// A process group of the child's own, an empty signal mask and default handling of SIGINT,
// SIGTERM, SIGPIPE, SIGXFSZ and SIGCHLD: the server blocks the first two and ignores the next two,
// and its children must still be stoppable by them and able to wait for their own children.
int prepareAttributes(SpawnAttributes& attributes) {
  if (!attributes.ok()) return ENOMEM;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGXFSZ, SIGCHLD}) sigaddset(&defaults, signal);
  if (int rc = ::posix_spawnattr_setsigmask(attributes.get(), &empty)) return rc;
  if (int rc = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults)) return rc;
  if (int rc = ::posix_spawnattr_setpgroup(attributes.get(), 0)) return rc;
  return ::posix_spawnattr_setflags(
      attributes.get(),
      static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));
}

// Waits until the child has exited without reaping it, so that its pid (and so its group id) is
// still ours afterwards.
void awaitExit(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR) return;
  }
}

// A descriptor that turns readable once the child has exited; -1 when the kernel offers none, and
// the child's exit is then noticed when its pipes close.
int openPidFd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// The raw wait status; nullopt when the child cannot be waited for.
std::optional<int> waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return status;
}

// The exit code, or the number of the signal that ended the child.
int statusNumber(std::optional<int> status) {
  if (!status) return -1;
  if (WIFEXITED(*status)) return WEXITSTATUS(*status);
  if (WIFSIGNALED(*status)) return WTERMSIG(*status);
  return *status;
}

// One stream being drained: what is kept and whether more arrived than the limit.
struct Sink {
  std::string* text;
  bool* overflowed;
  std::size_t limit;

  void take(const char* data, std::size_t size) {
    std::size_t room = limit - text->size();
    if (size > room) {
      *overflowed = true;
      size = room;
    }
    text->append(data, size);
  }
};

}  // namespace

ChildStartError::ChildStartError(const std::string& path, int errorNumber)
    : errorNumber_(errorNumber),
      message_("failed to start " + path + ": " +
               std::error_code(errorNumber, std::generic_category()).message()) {}

ChildProcess ChildProcess::start(const ChildCommand& command) {
  if (commandHoldsNul(command)) throw ChildStartError(command.path, EINVAL);
  std::string executable;
  if (int rc = executablePath(command, executable)) throw ChildStartError(command.path, rc);

  UniqueFd outRead, outWrite, errRead, errWrite;
  if (!command.discardOutput) {
    if (int rc = makePipe(outRead, outWrite)) throw ChildStartError(command.path, rc);
    if (int rc = makePipe(errRead, errWrite)) throw ChildStartError(command.path, rc);
  }

  // Copies numbered above every target of the dup2 calls; closed here once the child has them.
  std::vector<UniqueFd> passed(command.passedFds.size());
  const int lowest = 3 + static_cast<int>(passed.size());
  for (std::size_t i = 0; i < passed.size(); ++i) {
    const int copy = ::fcntl(command.passedFds[i], F_DUPFD_CLOEXEC, lowest);
    if (copy < 0) throw ChildStartError(command.path, errno);
    passed[i].reset(copy);
  }

  FileActions actions;
  if (int rc = prepareActions(actions, outWrite.get(), errWrite.get(), passed, command.cwd)) {
    throw ChildStartError(command.path, rc);
  }
  SpawnAttributes attributes;
  if (int rc = prepareAttributes(attributes)) throw ChildStartError(command.path, rc);

  std::vector<char*> argv = cStrings(command.argv);
  std::vector<char*> envp = cStrings(command.environment);
  pid_t pid = -1;
  {
    ProcessGroups& groups = ProcessGroups::live();
    ProcessGroups::StartGuard guard(groups);
    // The process is ending: a child started now would outlive it.
    if (!guard.admitted()) throw ChildStartError(command.path, ECANCELED);
    int rc = ::posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                           envp.data());
    if (rc != 0) throw ChildStartError(command.path, rc);
    try {
      groups.add(pid);
    } catch (...) {
      ::kill(-pid, SIGKILL);
      (void)waitFor(pid);
      throw ChildStartError(command.path, ENOMEM);
    }
  }
  // Our copies of the write ends must go, or the reads below would never see end of file.
  outWrite.reset();
  errWrite.reset();
  return ChildProcess(pid, UniqueFd(openPidFd(pid)), std::move(outRead), std::move(errRead));
}

ChildProcess::ChildProcess(pid_t pid, UniqueFd pidFd, UniqueFd outFd, UniqueFd errFd) noexcept
    : pid_(pid), pidFd_(std::move(pidFd)), outFd_(std::move(outFd)), errFd_(std::move(errFd)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidFd_(std::move(other.pidFd_)),
      outFd_(std::move(other.outFd_)),
      errFd_(std::move(other.errFd_)),
      waitStatus_(std::exchange(other.waitStatus_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    pidFd_ = std::move(other.pidFd_);
    outFd_ = std::move(other.outFd_);
    errFd_ = std::move(other.errFd_);
    waitStatus_ = std::exchange(other.waitStatus_, std::nullopt);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::release() noexcept {
  for (UniqueFd* fd : {&pidFd_, &outFd_, &errFd_}) fd->reset();
  if (pid_ > 0) {
    killGroup();
    reap();
  }
}

void ChildProcess::killGroup() noexcept {
  // The child is not reaped yet, so its pid still names its own group and no other.
  ::kill(-pid_, SIGKILL);
}

int ChildProcess::reap() noexcept {
  ProcessGroups::live().remove(pid_);
  waitStatus_ = waitFor(std::exchange(pid_, -1));
  return statusNumber(waitStatus_);
}

ChildOutput ChildProcess::communicate(std::size_t limitPerStream) {
  ChildOutput output;
  std::array<Sink, 2> sinks{Sink{&output.out, &output.outOverflowed, limitPerStream},
                            Sink{&output.err, &output.errOverflowed, limitPerStream}};
  // The two pipes, then the child's exit.
  std::array<pollfd, 3> polls{pollfd{outFd_.get(), POLLIN, 0}, pollfd{errFd_.get(), POLLIN, 0},
                              pollfd{pidFd_.get(), POLLIN, 0}};
  std::array<char, 65536> buffer{};
  bool groupKilled = false;

  int open = (outFd_ ? 1 : 0) + (errFd_ ? 1 : 0);
  while (open > 0) {
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;  // cannot happen with valid descriptors; stop reading and reap the child
    }
    if (polls[2].fd >= 0 && polls[2].revents != 0) {
      // The child has exited. What it started in its group ends with it, so that a background
      // process that inherited the pipes cannot hold the result; what is in the pipes is still
      // read to its end.
      killGroup();
      groupKilled = true;
      polls[2].fd = -1;
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      ssize_t n = ::read(polls[i].fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // End of file, or a read error that ends the stream like one.
        (i == 0 ? outFd_ : errFd_).reset();
        polls[i].fd = -1;
        --open;
        continue;
      }
      sinks[i].take(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  for (UniqueFd* fd : {&pidFd_, &outFd_, &errFd_}) fd->reset();
  if (!groupKilled) {
    awaitExit(pid_);
    killGroup();
  }
  output.status = reap();
  return output;
}

bool ChildProcess::hasExited() noexcept {
  if (pid_ <= 0) return true;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid_) {
    return false;
  }
  killGroup();
  (void)reap();
  return true;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!hasExited()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (pidFd_) {
      pollfd exit{pidFd_.get(), POLLIN, 0};
      ::poll(&exit, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
    } else {
      // No pidfd from this kernel: look again in a little while.
      ::poll(nullptr, 0, static_cast<int>(std::min<std::int64_t>(left.count(), 10)));
    }
  }
  return true;
}

void ChildProcess::signal(int signal) noexcept {
  // Not reaped yet, so the pid is still this child's.
  if (pid_ > 0) ::kill(pid_, signal);
}

ChildOutput runChild(const ChildCommand& command, std::size_t limitPerStream) {
  return ChildProcess::start(command).communicate(limitPerStream);
}

std::map<std::string, std::string> processEnvironment() {
  std::map<std::string, std::string> table;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    table.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return table;
}

}  // namespace varn::support
