#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/WallClock.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// One decision of the resolve road. JSON keys are the field names, written in this order; absent
// optionals are left out.
struct AuditEntry {
  std::string ts;                       // time of the append, ISO 8601 with "Z"
  std::string tool;                     // MCP tool that asked
  std::optional<std::string> ref;       // reference or handle exactly as the tool passed it
  std::optional<std::string> upstream;  // where the value was going, when the tool said
  std::string decision;                 // decision word, e.g. "allowed", "denied"

  // Requires "ts", "tool" and "decision" as strings; takes "ref" and "upstream" when present;
  // ignores other keys. Throws support::JsonDecodeError.
  static AuditEntry fromJson(const support::Json& json);
  [[nodiscard]] support::OrderedJson toJson() const;

  bool operator==(const AuditEntry&) const = default;
};
VARN_JSON_RECORD(AuditEntry, "audit entry", VARN_JSON_FIELD(ts), VARN_JSON_FIELD(tool),
                 VARN_JSON_FIELD(ref), VARN_JSON_FIELD(upstream), VARN_JSON_FIELD(decision));

// The audit trail: every resolve decision as an entry in memory and, when there is a file, one
// compact JSON line (each "/" written "\/") appended to it.
//
// The file is opened and closed per entry with O_APPEND and written with one write(), so several
// server processes sharing one log never lose or overwrite each other's lines. A file the trail
// creates gets mode 0600; an existing file keeps its mode. A failed creation (for example a
// missing folder) is silent; a file that cannot be opened or written gives the standard-error line
// "varn-mcp: audit write failed: <reason>". The file never keeps part of a line: a write cut
// short (a file-size limit, a full quota) is continued, and when that fails too, the part written
// is cut off again. Nothing is opened at construction.
//
// Memory stays bounded: only the most recent kMaxEntriesInMemory entries are kept (the file keeps
// all of them).
//
// Thread-safe. Appends run one at a time, from the timestamp to the file write, so the file's
// lines stand in the order of the appends; append blocks for that one small file write.
class AuditLog final {
 public:
  static constexpr std::size_t kMaxEntriesInMemory = 10'000;

  // `filePath` absent: memory only. `clock` gives the timestamp of each entry.
  explicit AuditLog(std::optional<std::string> filePath, WallClock clock = systemWallClock);

  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // Records one decision. Never throws; a failed file write never reaches the caller.
  void append(const std::string& tool, const std::optional<std::string>& ref,
              const std::optional<std::string>& upstream, const std::string& decision) noexcept;

  // A copy of the entries kept in memory, oldest first.
  [[nodiscard]] std::vector<AuditEntry> all() const;

 private:
  void writeLine(const std::string& line);  // requires mutex_

  const std::optional<std::string> filePath_;
  const WallClock clock_;
  mutable std::mutex mutex_;
  std::deque<AuditEntry> entries_;  // guarded by mutex_
};

}  // namespace varn::mcp
