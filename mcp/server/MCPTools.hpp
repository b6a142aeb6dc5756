#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/server/ToolDefinitions.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The server's tools: one for each row of toolRows(), built by its row from the shared services at
// start-up, the browser tools only when there is a browser controller. Immutable after
// construction and shared read-only by every tool call; each tool holds the services it uses, so
// copying the table copies pointers.
class MCPTools final {
 public:
  // One tool of the table.
  struct Entry {
    const ToolRow* row = nullptr;                // never null
    std::shared_ptr<const RunnableTool> tool{};  // null: a browser tool without a browser

    // Runs the tool on `args` as RunnableTool::run says. A browser tool of a table built without
    // a browser controller throws ToolError::invalidArguments("browser tools not enabled") before
    // its arguments are looked at.
    [[nodiscard]] std::string run(support::Json& args) const;
  };

  // Every tool over `services` (see ToolServices for what may be null).
  explicit MCPTools(const ToolServices& services);

  // The tool named exactly `name` (case-sensitive, untrimmed), or null.
  [[nodiscard]] const Entry* find(std::string_view name) const noexcept;

 private:
  std::vector<Entry> tools_;  // in row order
};

}  // namespace varn::mcp
