#include "mcp/server/MCPTools.hpp"

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {

MCPTools::MCPTools(const ToolServices& services) {
  const std::span<const ToolRow> rows = toolRows();
  tools_.reserve(rows.size());
  for (const ToolRow& row : rows) tools_.push_back(row.build(services, row.name));
}

std::string MCPTools::run(const ToolRow& row, support::Json& args) const {
  const auto index = static_cast<std::size_t>(&row - toolRows().data());
  const std::shared_ptr<const void>& tool = tools_.at(index);
  // A browser tool of a server without a browser controller.
  if (!tool) throw ToolError::invalidArguments("browser tools not enabled");
  return row.run(tool.get(), args);
}

}  // namespace varn::mcp
