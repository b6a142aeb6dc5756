#include "tests/support/ServerProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace varn::tests {

namespace {

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A test must see a closed pipe as a failed write, not die of SIGPIPE.
void ignoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

long peakRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string describe(const ExitStatus& status) {
  if (status.exited) return "exit " + std::to_string(status.code);
  if (status.signaled) return "killed by signal " + std::to_string(status.signal);
  return "still running";
}

void PrintTo(const ExitStatus& status, std::ostream* out) {
  *out << describe(status);
}

ServerProcess::ServerProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env) {
  ignoreSigpipeOnce();
  int in[2];
  int out[2];
  int err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe2", errno);
  if (::pipe2(out, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(in[0]);
    ::close(in[1]);
    fail("pipe2", e);
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    fail("pipe2", e);
  }

  SpawnActions actions;
  ::posix_spawn_file_actions_adddup2(actions.get(), in[0], 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), out[1], 1);
  ::posix_spawn_file_actions_adddup2(actions.get(), err[1], 2);
  ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

  // The child starts with an empty signal mask and default dispositions, whatever the test
  // runner had (SIGPIPE is ignored here).
  SpawnAttributes attributes;
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, s);
  ::posix_spawnattr_setsigmask(attributes.get(), &empty);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (const auto& [key, value] : env) envText.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  int rc = ::posix_spawn(&pid_, program.c_str(), actions.get(), attributes.get(), argv.data(),
                         envp.data());
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_fd_ = err[0];
  if (rc != 0) {
    closeFd(stdin_);
    closeFd(stdout_);
    closeFd(stderr_fd_);
    pid_ = -1;
    fail("posix_spawn " + program, rc);
  }
  ::fcntl(stdin_, F_SETFL, ::fcntl(stdin_, F_GETFL) | O_NONBLOCK);
  // glibc's pidfd_open lacks C linkage in C++ here; the system call is the same.
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ServerProcess::~ServerProcess() {
  closeInput();
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(stdout_);
  closeFd(stderr_fd_);
  closeFd(pidFd_);
}

void ServerProcess::readInto(int& fd, std::string& buffer) {
  char chunk[65536];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n > 0) {
    buffer.append(chunk, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    closeFd(fd);
  }
}

template <typename Done>
bool ServerProcess::pump(Clock::time_point until, Done done) {
  while (!done()) {
    auto now = Clock::now();
    if (now >= until) return false;
    pollfd fds[4];
    nfds_t count = 0;
    int pidIndex = -1;
    int inIndex = -1;
    int outIndex = -1;
    int errIndex = -1;
    if (stdin_ >= 0 && !pendingInput_.empty()) {
      inIndex = static_cast<int>(count);
      fds[count++] = {stdin_, POLLOUT, 0};
    }
    if (stdout_ >= 0) {
      outIndex = static_cast<int>(count);
      fds[count++] = {stdout_, POLLIN, 0};
    }
    if (stderr_fd_ >= 0) {
      errIndex = static_cast<int>(count);
      fds[count++] = {stderr_fd_, POLLIN, 0};
    }
    if (pidFd_ >= 0 && !exitSeen_) {
      pidIndex = static_cast<int>(count);
      fds[count++] = {pidFd_, POLLIN, 0};
    }
    if (count == 0) return done();  // nothing left that could change
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    int ready = ::poll(fds, count, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return done();
    }
    if (inIndex >= 0 && fds[inIndex].revents != 0) {
      if ((fds[inIndex].revents & POLLOUT) != 0) {
        ssize_t n = ::write(stdin_, pendingInput_.data(), pendingInput_.size());
        if (n > 0) {
          pendingInput_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
          pendingInput_.clear();
          closeFd(stdin_);
        }
      } else {
        pendingInput_.clear();
        closeFd(stdin_);
      }
    }
    if (pidIndex >= 0 && fds[pidIndex].revents != 0) exitSeen_ = true;
    if (outIndex >= 0 && fds[outIndex].revents != 0) readInto(stdout_, outBuffer_);
    if (errIndex >= 0 && fds[errIndex].revents != 0) readInto(stderr_fd_, stderr_);
  }
  return true;
}

bool ServerProcess::send(std::string_view bytes, std::chrono::milliseconds deadline) {
  if (stdin_ < 0) return false;
  pendingInput_.append(bytes);
  bool sent = pump(Clock::now() + deadline, [&] { return pendingInput_.empty(); });
  return sent && stdin_ >= 0;
}

bool ServerProcess::sendLine(std::string_view line, std::chrono::milliseconds deadline) {
  std::string bytes(line);
  bytes.push_back('\n');
  return send(bytes, deadline);
}

std::optional<std::string> ServerProcess::readLine(std::chrono::milliseconds deadline) {
  pump(Clock::now() + deadline,
       [&] { return outBuffer_.find('\n') != std::string::npos || stdout_ < 0; });
  std::size_t end = outBuffer_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = outBuffer_.substr(0, end);
  outBuffer_.erase(0, end + 1);
  linesRead_.push_back(line);
  return line;
}

bool ServerProcess::outputEnds(std::chrono::milliseconds deadline) {
  pump(Clock::now() + deadline, [&] { return !outBuffer_.empty() || stdout_ < 0; });
  return outBuffer_.empty() && stdout_ < 0;
}

void ServerProcess::closeInput() {
  pendingInput_.clear();
  closeFd(stdin_);
}

bool ServerProcess::limitFileSize(std::size_t bytes) {
  const rlimit limit{bytes, bytes};
  return pid_ > 0 && !reaped_ && ::prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

bool ServerProcess::growInputPipe(std::size_t bytes) {
  return stdin_ >= 0 && ::fcntl(stdin_, F_SETPIPE_SZ, static_cast<int>(bytes)) >= 0;
}

void ServerProcess::sendSignal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

ExitStatus ServerProcess::waitForExit(std::chrono::milliseconds deadline) {
  if (reaped_) return status_;
  // The process has ended when its pidfd turns readable (without a pidfd: when both its pipes
  // have closed); its pipes are drained meanwhile so that a child blocked on a full pipe is not
  // mistaken for a hung one.
  bool ended = pump(Clock::now() + deadline,
                    [&] { return pidFd_ >= 0 ? exitSeen_ : (stdout_ < 0 && stderr_fd_ < 0); });
  if (!ended) return ExitStatus{};
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &raw, 0);
  } while (got < 0 && errno == EINTR);
  reaped_ = true;
  if (got == pid_) {
    if (WIFEXITED(raw)) {
      status_.exited = true;
      status_.code = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
      status_.signaled = true;
      status_.signal = WTERMSIG(raw);
    }
  }
  // Whatever the child wrote to its pipes before it ended is still readable.
  pump(Clock::now() + std::chrono::seconds(5), [&] { return stdout_ < 0 && stderr_fd_ < 0; });
  return status_;
}

}  // namespace varn::tests
