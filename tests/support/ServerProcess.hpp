#pragma once

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace varn::tests {

// How a child process ended.
struct ExitStatus {
  bool exited = false;  // ended through exit/_exit; `code` holds its status
  int code = -1;
  bool signaled = false;  // killed by a signal; `signal` holds its number
  int signal = 0;
  bool operator==(const ExitStatus&) const = default;
};

// "exit 143", "killed by signal 9", "still running": for failure messages.
std::string describe(const ExitStatus& status);
// Lets GoogleTest print an ExitStatus as describe() does.
void PrintTo(const ExitStatus& status, std::ostream* out);

// The peak resident set size of a process (VmHWM), in KiB; -1 when it cannot be read.
[[nodiscard]] long peakRssKiB(pid_t pid);

// A generous deadline that only guards a test against hanging for ever when the server is
// broken; no test relies on it for ordering.
inline constexpr std::chrono::seconds kFailureGuard{30};

// One running varn-mcp (or any other program), started with posix_spawn with exactly the given
// arguments and environment, its standard input, output and error on pipes of our own.
//
// Lines written and read are raw bytes. Reading pumps all three pipes together, so a server that
// writes much while the test writes much never deadlocks against the test. Every line read from
// standard output and every byte of standard error is also kept, for the leak check.
//
// The destructor kills (SIGKILL) and reaps the child if it is still running: only this child, by
// its pid. Not thread-safe; one test thread drives it. Not copyable.
class ServerProcess final {
 public:
  // Starts `program` with argv = {program, args...} and the environment `env` (nothing inherited).
  // Throws std::runtime_error when the process cannot be started.
  ServerProcess(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  // The raw descriptors of the child's standard input and output, for a benchmark that drives the
  // pipes itself. What is read through them bypasses readLine() and linesRead().
  [[nodiscard]] int inputFd() const noexcept { return stdin_; }
  [[nodiscard]] int outputFd() const noexcept { return stdout_; }

  // Writes `bytes` to the child's standard input, waiting until all are taken (at most
  // `deadline`). Returns false when the child closed its input or the deadline passed.
  bool send(std::string_view bytes, std::chrono::milliseconds deadline = kFailureGuard);

  // send(line + "\n").
  bool sendLine(std::string_view line, std::chrono::milliseconds deadline = kFailureGuard);

  // The next line of standard output without its line feed, or nullopt when standard output
  // ended (or `deadline` passed) before a whole line arrived.
  [[nodiscard]] std::optional<std::string> readLine(
      std::chrono::milliseconds deadline = kFailureGuard);

  // True when standard output ended with no further byte within `deadline`: the child wrote
  // nothing more and closed it (or exited).
  [[nodiscard]] bool outputEnds(std::chrono::milliseconds deadline = kFailureGuard);

  // Closes our end of the child's standard input (end of input for the child). Idempotent.
  void closeInput();

  // Sets the child's file-size limit (RLIMIT_FSIZE, as `ulimit -f` would) to `bytes`; call it
  // before the child writes a file. Returns false when the limit cannot be set.
  bool limitFileSize(std::size_t bytes);

  // Makes the pipe of the child's standard input hold `bytes` (F_SETPIPE_SZ), so that a test
  // knows how much its writes can leave unread. Returns false when the size cannot be set.
  bool growInputPipe(std::size_t bytes);

  // Sends `signal` to the child, by its pid. Does nothing once the child has been reaped.
  void sendSignal(int signal);

  // Waits for the child to end (at most `deadline`, draining its output meanwhile) and reaps it.
  // Returns an ExitStatus with neither flag set when it is still running at the deadline.
  ExitStatus waitForExit(std::chrono::milliseconds deadline = kFailureGuard);

  // Every line read from standard output so far, and all standard error bytes collected so far
  // (waitForExit collects the rest).
  [[nodiscard]] const std::vector<std::string>& linesRead() const noexcept { return linesRead_; }
  [[nodiscard]] const std::string& stderrText() const noexcept { return stderr_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Polls the pipes (and the process) until `done()` holds or `until` passes; returns done().
  template <typename Done>
  bool pump(Clock::time_point until, Done done);
  void readInto(int& fd, std::string& buffer);

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_fd_ = -1;
  bool exitSeen_ = false;
  bool reaped_ = false;
  ExitStatus status_;
  std::string pendingInput_;
  std::string outBuffer_;
  std::string stderr_;
  std::vector<std::string> linesRead_;
};

}  // namespace varn::tests
