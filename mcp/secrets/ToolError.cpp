#include "mcp/secrets/ToolError.hpp"

#include "support/Utf8.hpp"

namespace varn::mcp {

ToolError::ToolError(Case errorCase, std::string message)
    : case_(errorCase),
      message_(std::move(message)),
      printed_(std::string(case_ == Case::invalidArguments ? "invalidArguments(" : "upstream(") +
               support::quotedPayload(message_) + ")") {}

}  // namespace varn::mcp
