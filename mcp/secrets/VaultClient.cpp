#include "mcp/secrets/VaultClient.hpp"

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {

support::Json VaultClient::manage(const VaultRequest& request) {
  throw ToolError::upstream("vault does not support " + std::string(toString(request.op)));
}

SecretMetadataOutput VaultClient::captureSecret(std::string_view origin,
                                                const std::optional<std::string>& name) {
  VaultRequest request;
  request.op = VaultRequest::Op::capture;
  request.url = std::string(origin);
  request.name = name;
  return support::decodeRecord<SecretMetadataOutput>(manage(request));
}

}  // namespace varn::mcp
