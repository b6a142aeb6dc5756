#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "mcp/secrets/ToolError.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "support/Json.hpp"

namespace varn::mcp::fakes {

// A VaultClient that answers from scripts and records what it was asked, for tests of its callers.
// Configure the public fields before the calls start; the calls themselves are thread-safe.
class ScriptedVault final : public VaultClient {
 public:
  // One call as it reached the vault: the op and its arguments as JSON (resolve: "ref" and
  // "approved"; preview: "ref"; list: "collection" and "query" when given; capture and management:
  // the request's fields as the vault socket would receive them, without "op").
  struct Call {
    VaultRequest::Op op;
    support::OrderedJson arguments;
  };

  std::deque<VaultResponse> resolveReplies;  // served in order
  std::deque<VaultResponse> previewReplies;  // served in order
  std::vector<VaultListEntry> listReply;     // served to every list call
  // The reply of each management op (and capture) as JSON, decoded by the operation like a reply of
  // the socket, so that a malformed script fails as a malformed vault reply would.
  std::map<VaultRequest::Op, support::Json> managementReplies;
  // From the call with this index on (counted from 0), every call is recorded and then throws
  // `failure`. -1: never.
  int failAfter = -1;
  ToolError failure = ToolError::upstream("scripted vault failure");

  VaultResponse resolve(std::string_view ref, bool approved) override;
  VaultResponse preview(std::string_view ref) override;
  std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                   const std::optional<std::string>& query) override;
  support::Json manage(const VaultRequest& request) override;

  // Every call so far, oldest first.
  [[nodiscard]] std::vector<Call> calls() const;

 private:
  // Records the call; throws `failure` once failAfter is reached.
  void record(VaultRequest::Op op, support::OrderedJson arguments);
  VaultResponse next(std::deque<VaultResponse>& replies);
  [[nodiscard]] support::Json managementReply(VaultRequest::Op op) const;

  mutable std::mutex mutex_;
  std::vector<Call> calls_;  // guarded by mutex_
};

// Printers for test failure output that never show a secret value: "value" is masked.
void PrintTo(const ScriptedVault::Call& call, std::ostream* out);

}  // namespace varn::mcp::fakes

namespace varn::mcp {
void PrintTo(const VaultResponse& response, std::ostream* out);
void PrintTo(const VaultRequest& request, std::ostream* out);
}  // namespace varn::mcp
