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

// Writes the whole line with one write(), so that concurrent appenders in other processes never
// split it. Returns 0 on success, else the errno of the failure (EIO for a short write).
int writeWhole(int fd, const std::string& line) {
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return errno;
  return static_cast<std::size_t>(written) == line.size() ? 0 : EIO;
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

AuditEntry AuditEntry::fromJson(const support::Json& json) {
  support::requireObject(json, "audit entry");
  return AuditEntry{
      .ts = support::requireString(json, "ts"),
      .tool = support::requireString(json, "tool"),
      .ref = support::optionalString(json, "ref"),
      .upstream = support::optionalString(json, "upstream"),
      .decision = support::requireString(json, "decision"),
  };
}

support::OrderedJson AuditEntry::toJson() const {
  support::OrderedJson out = support::OrderedJson::object();
  out["ts"] = ts;
  out["tool"] = tool;
  support::putOptional(out, "ref", ref);
  support::putOptional(out, "upstream", upstream);
  out["decision"] = decision;
  return out;
}

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
      (void)writeWhole(created.get(), line);
      return;
    }
    if (errno != EEXIST) return;
  }
  UniqueFd existing(openRetrying(path, O_WRONLY | O_APPEND | O_CLOEXEC));
  if (existing.get() < 0) {
    reportFailure("cannot open " + *filePath_ + ": " + describeErrno(errno));
    return;
  }
  if (int error = writeWhole(existing.get(), line); error != 0) {
    reportFailure("cannot write " + *filePath_ + ": " + describeErrno(error));
  }
}

std::vector<AuditEntry> AuditLog::all() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

}  // namespace varn::mcp
