#include "mcp/secrets/AuditLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <system_error>

#include "support/UniqueFd.hpp"

namespace varn::mcp {
namespace {

using support::UniqueFd;

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Appends the whole line, with one write() when nothing goes wrong, so that concurrent appenders in
// other processes never split it. A write cut short is continued; when the rest cannot be written
// either, what was written is cut off again, so the file never ends in part of a line. (Only when
// another process appended behind the part meanwhile does the part stay: cutting it off would cut
// that process's line too.) Returns 0 on success, else the errno of the failure.
int appendWhole(int fd, const std::string& line) {
  const auto [written, error] = support::writeAll(fd, line);
  if (error == 0 || written == 0) return error;
  // With O_APPEND the offset stands right behind the bytes this process wrote last.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  struct stat status;
  if (end >= 0 && ::fstat(fd, &status) == 0 && status.st_size == end) {
    while (::ftruncate(fd, end - static_cast<off_t>(written)) != 0 && errno == EINTR) {
    }
  }
  return error;
}

std::string describeErrno(int error) {
  return std::error_code(error, std::generic_category()).message();
}

void reportFailure(const std::string& reason) noexcept {
  try {
    std::string line = "varn-mcp: audit write failed: " + reason + "\n";
    ssize_t ignored;
    do {
      ignored = ::write(STDERR_FILENO, line.data(), line.size());
    } while (ignored < 0 && errno == EINTR);
  } catch (...) {
    // Out of memory while reporting: nothing more can be said.
  }
}

}  // namespace

VARN_JSON_RECORD_MEMBERS(AuditEntry);

AuditLog::AuditLog(std::optional<std::string> filePath, WallClock clock)
    : filePath_(std::move(filePath)), clock_(std::move(clock)) {}

void AuditLog::append(const std::string& tool, const std::optional<std::string>& ref,
                      const std::optional<std::string>& upstream,
                      const std::string& decision) noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    AuditEntry entry{formatISO8601(clock_()), tool, ref, upstream, decision};
    std::string line;
    if (filePath_) line = support::dumpEscapingSlashes(entry.toJson()) + "\n";
    entries_.push_back(std::move(entry));
    if (entries_.size() > kMaxEntriesInMemory) entries_.pop_front();
    if (filePath_) writeLine(line);
  } catch (const std::exception& error) {
    // Only allocation can fail above; the trail must never change the caller's outcome.
    reportFailure(error.what());
  } catch (...) {
    reportFailure("unknown error");
  }
}

void AuditLog::writeLine(const std::string& line) {
  const char* path = filePath_->c_str();
  struct stat status;
  if (::stat(path, &status) != 0) {
    // Absent: create it with this line. A creation that fails (no folder, no permission) is not
    // reported. Another process may create it between the stat and here; then append to theirs.
    UniqueFd created(
        openRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (created.get() >= 0) {
      if (int error = appendWhole(created.get(), line); error != 0) {
        reportFailure("cannot write " + *filePath_ + ": " + describeErrno(error));
      }
      return;
    }
    if (errno != EEXIST) return;
  }
  UniqueFd existing(openRetrying(path, O_WRONLY | O_APPEND | O_CLOEXEC));
  if (existing.get() < 0) {
    reportFailure("cannot open " + *filePath_ + ": " + describeErrno(errno));
    return;
  }
  if (int error = appendWhole(existing.get(), line); error != 0) {
    reportFailure("cannot write " + *filePath_ + ": " + describeErrno(error));
  }
}

std::vector<AuditEntry> AuditLog::all() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

}  // namespace varn::mcp
