#include "mcp/secrets/testing/ResolveFakes.hpp"

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp::fakes {

VaultResponse ResolveScriptedVault::resolve(std::string_view ref, bool approved) {
  const int call = static_cast<int>(seen.size());
  seen.push_back({std::string(ref), approved});
  if ((failAfter >= 0 && call >= failAfter) || replies.empty()) {
    throw ToolError::upstream("vault unreachable");
  }
  VaultResponse reply = std::move(replies.front());
  replies.pop_front();
  return reply;
}

VaultResponse ResolveScriptedVault::preview(std::string_view ref) {
  const auto decision = decisions.find(std::string(ref));
  if (decision == decisions.end()) throw ToolError::upstream("not scripted");
  previewed.emplace_back(ref);
  VaultResponse reply;
  reply.decision = decision->second;
  return reply;
}

std::vector<VaultListEntry> ResolveScriptedVault::list(const std::optional<std::string>&,
                                                       const std::optional<std::string>&) {
  throw ToolError::upstream("not scripted");
}

bool ResolveScriptedElicitor::requestApproval(const std::string& ref,
                                              const std::string& operation) {
  seen.push_back({ref, operation});
  if (answers.empty()) throw ResolveError::approvalTimeout(ref);
  Answer answer = answers.front();
  answers.pop_front();
  if (answer.error) std::rethrow_exception(answer.error);
  return answer.approved;
}

ResolveRoad::ResolveRoad(bool killSwitchActive, bool withTokens)
    : audit(std::make_shared<AuditLog>(std::nullopt, auditTime.clock())),
      tokens(withTokens ? std::make_shared<TokenVault>(time.clock()) : nullptr),
      service(std::make_shared<ResolveService>(
          vault, elicitor, limiter,
          KillSwitch(std::map<std::string, std::string>{
              {"VARN_MCP_KILL_SWITCH", killSwitchActive ? "1" : "0"}}),
          audit, tokens, time.clock())) {}

std::vector<std::string> ResolveRoad::auditWords() const {
  std::vector<std::string> words;
  for (const AuditEntry& entry : audit->all()) words.push_back(entry.decision);
  return words;
}

VaultResponse resolveReply(VaultDecision decision, std::optional<std::string> value,
                           std::optional<std::vector<std::string>> allowedHosts,
                           std::optional<std::vector<std::string>> allowedCommands) {
  VaultResponse reply;
  reply.decision = decision;
  reply.value = std::move(value);
  reply.allowed_hosts = std::move(allowedHosts);
  reply.allowed_commands = std::move(allowedCommands);
  return reply;
}

}  // namespace varn::mcp::fakes
