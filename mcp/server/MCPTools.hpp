#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mcp/server/ToolDefinitions.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The server's tools: one instance for each row of toolRows(), each built by its row from the
// shared services at start-up, the browser tools only when there is a browser controller.
// Immutable after construction and shared read-only by every tool call; each tool holds the
// services it uses, so copying the table copies pointers.
class MCPTools final {
 public:
  // Every tool over `services` (see ToolServices for what may be null).
  explicit MCPTools(const ToolServices& services);

  // Runs the tool of `row`, which must be a row of toolRows(), on `args` as ToolRow::run says. A
  // browser tool of a table built without a browser controller throws
  // ToolError::invalidArguments("browser tools not enabled") before its arguments are looked at.
  [[nodiscard]] std::string run(const ToolRow& row, support::Json& args) const;

 private:
  std::vector<std::shared_ptr<const void>> tools_;  // in row order; null where not built
};

}  // namespace varn::mcp
