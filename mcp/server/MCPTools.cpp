#include "mcp/server/MCPTools.hpp"

#include "mcp/secrets/ToolError.hpp"

namespace varn::mcp {

MCPTools::MCPTools(const ToolServices& services) {
  const std::span<const ToolRow> rows = toolRows();
  tools_.reserve(rows.size());
  for (const ToolRow& row : rows) {
    const bool absent = row.kind == ToolKind::browser && !services.browser;
    tools_.push_back(Entry{&row, absent ? nullptr : row.build(services, row.name)});
  }
}

const MCPTools::Entry* MCPTools::find(std::string_view name) const noexcept {
  for (const Entry& entry : tools_) {
    if (entry.row->name == name) return &entry;
  }
  return nullptr;
}

std::string MCPTools::Entry::run(support::Json& args) const {
  if (!tool) throw ToolError::invalidArguments("browser tools not enabled");
  return tool->run(args);
}

}  // namespace varn::mcp
