#pragma once

// Child processes started with posix_spawn, their two output streams drained together, and the
// process environment as a table.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/UniqueFd.hpp"

namespace varn::support {

// A child that could not be started (no such file, not executable, working directory missing,
// out of processes or descriptors). what() is "failed to start <path>: <reason>".
class ChildStartError : public std::exception {
 public:
  ChildStartError(const std::string& path, int errorNumber);
  const char* what() const noexcept override { return message_.c_str(); }
  // The errno value that posix_spawn or the preparation reported.
  int errorNumber() const noexcept { return errorNumber_; }

 private:
  int errorNumber_;
  std::string message_;
};

// What to start. No text may hold a NUL byte (C strings would cut it short): such a command fails
// to start with EINVAL.
struct ChildCommand {
  // The executable file. There is no PATH search; a relative path is taken relative to the
  // caller's current directory, also when `cwd` names another one.
  std::string path;
  // The child's whole argument vector, its program name (argv[0]) included.
  std::vector<std::string> argv;
  // Exactly the child's environment, as "NAME=value" entries.
  std::vector<std::string> environment;
  // The child's working directory; the caller's own when absent.
  std::optional<std::string> cwd;
  // True: standard output and standard error go to /dev/null instead of pipes (communicate then
  // reads nothing), for a long-running child whose output nobody reads.
  bool discardOutput = false;
  // Open descriptors of the caller that the child gets as 3, 4, ... in this order (the caller's
  // own stay open and stay its own). Every other descriptor from 3 up is closed in the child.
  std::vector<int> passedFds = {};
};

// What a child left behind once both streams reached their end and it exited.
struct ChildOutput {
  // The exit code, or for a child ended by a signal the signal number (the two are not told
  // apart).
  int status = 0;
  std::string out;  // standard output, at most the limit's bytes
  std::string err;  // standard error, at most the limit's bytes
  // True when the stream carried more than the limit; its text then holds the first bytes only.
  bool outOverflowed = false;
  bool errOverflowed = false;

  bool operator==(const ChildOutput&) const = default;
};

// One started child. The child runs in a process group of its own (its pid is the group's id),
// recorded in ProcessGroups::live() until it is reaped, with standard input from /dev/null,
// standard output and standard error on pipes to this object, no other descriptor open but the
// passed ones, an empty
// signal mask, and SIGINT, SIGTERM, SIGPIPE, SIGXFSZ and SIGCHLD at their default handling whatever
// the caller ignores or blocks.
//
// Owns the child: a child not yet waited for when the object dies is killed with its group
// (SIGKILL) and reaped, so no path leaves a zombie or a runaway behind. Only this child is ever
// waited for, by its pid, and only its group is signalled, never after the reap. Movable, not
// copyable; one object is used by one thread at a time.
class ChildProcess final {
 public:
  // Starts the child. Throws ChildStartError when it cannot be started (ECANCELED once
  // ProcessGroups::live().killAll() has run); nothing is left running.
  [[nodiscard]] static ChildProcess start(const ChildCommand& command);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  // Reads both streams together (poll), each to its end, keeping at most `limitPerStream` bytes of
  // each and reading on past the limit so that the child never blocks on a full pipe; then waits
  // for the child to exit. Once the child has exited, the rest of its group is killed (SIGKILL):
  // processes it left behind, in the background or holding the pipes, neither outlive it nor hold
  // the call. Blocks for the child's whole lifetime, with no time limit. May be called once.
  [[nodiscard]] ChildOutput communicate(std::size_t limitPerStream);

  // True once the child has exited; it is then reaped (and the rest of its group killed) by this
  // call. Never blocks.
  [[nodiscard]] bool hasExited() noexcept;

  // Waits at most `timeout` for the child to exit; true (and reaped, as by hasExited) when it has.
  [[nodiscard]] bool waitForExit(std::chrono::milliseconds timeout) noexcept;

  // Sends `signal` to the child alone, by its pid, unless it has been reaped.
  void signal(int signal) noexcept;

  // The child's status as waitpid reported it (for WIFEXITED, WTERMSIG, ...) once it has been
  // reaped; nullopt before.
  [[nodiscard]] std::optional<int> waitStatus() const noexcept { return waitStatus_; }

 private:
  ChildProcess(pid_t pid, UniqueFd pidFd, UniqueFd outFd, UniqueFd errFd) noexcept;
  void release() noexcept;
  // SIGKILL to the child's group. Requires the child not reaped yet.
  void killGroup() noexcept;
  // Removes the group from the registry, then reaps the child; returns its status.
  int reap() noexcept;

  pid_t pid_ = -1;  // -1 once waited for or moved from
  UniqueFd pidFd_;  // readable once the child has exited; none when unavailable
  UniqueFd outFd_;
  UniqueFd errFd_;
  std::optional<int> waitStatus_;
};

// Starts the child, drains it and waits for it: ChildProcess::start then communicate.
[[nodiscard]] ChildOutput runChild(const ChildCommand& command, std::size_t limitPerStream);

// A copy of this process's environment as a table of name to value, read at the time of the
// call. Entries without "=" are skipped; of a name given twice the first entry counts, as for
// getenv.
[[nodiscard]] std::map<std::string, std::string> processEnvironment();

}  // namespace varn::support
