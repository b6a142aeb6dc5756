#include "mcp/tools/MintTokenTool.hpp"

#include "mcp/secrets/WallClock.hpp"

namespace varn::mcp {

MintTokenTool::MintTokenTool(const ToolServices& services, std::string name)
    : name_(std::move(name)), resolver_(services.resolver), tokens_(services.tokens) {}

MintTokenOutput MintTokenTool::run(const MintTokenInput& input) const {
  ResolvedSecret secret = resolver_->resolveSecret(input.root_ref, name_, std::nullopt);
  MintedHandle minted = tokens_->mint(std::move(secret.value), input.scope, input.ttl_seconds,
                                      std::move(secret.allowedHosts),
                                      std::move(secret.allowedCommands), secret.expiresAt);
  return MintTokenOutput{std::move(minted.handle), formatISO8601(minted.expiresAt)};
}

}  // namespace varn::mcp
