#pragma once

// Fakes of the resolve road's collaborators and a road built from them, for the tests of the road
// and of the tools that take values from it.

#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mcp/secrets/AuditLog.hpp"
#include "mcp/secrets/Elicitor.hpp"
#include "mcp/secrets/KillSwitch.hpp"
#include "mcp/secrets/RateLimiter.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/secrets/VaultClient.hpp"

namespace varn::mcp::fakes {

// One resolve request as the road sent it.
struct ResolveRequest {
  std::string ref;
  bool approved;
  bool operator==(const ResolveRequest&) const = default;
};

// Serves scripted resolve replies in order and records every resolve request. A call with no reply
// left, or from call number `failAfter` on (counting from 0), throws
// ToolError::upstream("vault unreachable"). preview answers with the decision of `decisions` and
// records the reference; for a reference without one, and for list, it throws
// ToolError::upstream("not scripted"); the other operations keep their defaults. Not thread-safe.
class ResolveScriptedVault final : public VaultClient {
 public:
  std::deque<VaultResponse> replies;
  std::vector<ResolveRequest> seen;
  int failAfter = -1;
  std::map<std::string, VaultDecision> decisions;
  std::vector<std::string> previewed;

  VaultResponse resolve(std::string_view ref, bool approved) override;
  VaultResponse preview(std::string_view ref) override;
  std::vector<VaultListEntry> list(const std::optional<std::string>& collection,
                                   const std::optional<std::string>& query) override;
};

// Answers approval requests from a script and records each request as (ref, operation).
// An answer is either a verdict or an exception to throw. No answer left: throws
// ResolveError::approvalTimeout(ref). Not thread-safe.
class ResolveScriptedElicitor final : public Elicitor {
 public:
  struct Answer {
    bool approved = false;
    std::exception_ptr error;  // thrown instead of answering when set
  };
  struct Request {
    std::string ref;
    std::string operation;
    bool operator==(const Request&) const = default;
  };

  std::deque<Answer> answers;
  std::vector<Request> seen;

  bool requestApproval(const std::string& ref, const std::string& operation) override;
};

// A wall clock that stands still unless moved, and counts its readings.
struct ResolveFakeClock {
  double now = 1'800'000'000;
  int reads = 0;

  WallClock clock() {
    return [this] {
      ++reads;
      return now;
    };
  }
};

// A resolve road over the fakes, with the limits the server uses (60 per 60 seconds), an in-memory
// audit trail and a handle store, all reading `time`. Members are public so tests can script them.
struct ResolveRoad {
  explicit ResolveRoad(bool killSwitchActive = false, bool withTokens = true);
  ResolveRoad(const ResolveRoad&) = delete;  // the clocks are captured by address
  ResolveRoad& operator=(const ResolveRoad&) = delete;

  ResolveFakeClock time;
  ResolveFakeClock auditTime;  // separate, so the road's own clock readings can be counted
  std::shared_ptr<ResolveScriptedVault> vault = std::make_shared<ResolveScriptedVault>();
  std::shared_ptr<ResolveScriptedElicitor> elicitor = std::make_shared<ResolveScriptedElicitor>();
  std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>(60, 60.0);
  std::shared_ptr<AuditLog> audit;
  std::shared_ptr<TokenVault> tokens;
  std::shared_ptr<ResolveService> service;

  // The decision words of the audit trail so far, oldest first.
  std::vector<std::string> auditWords() const;
};

// A vault reply with a decision and, optionally, a value and bindings.
VaultResponse resolveReply(VaultDecision decision, std::optional<std::string> value = std::nullopt,
                           std::optional<std::vector<std::string>> allowedHosts = std::nullopt,
                           std::optional<std::vector<std::string>> allowedCommands = std::nullopt);

}  // namespace varn::mcp::fakes
