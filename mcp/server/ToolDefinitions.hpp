#pragma once

// The server's one list of tools: for each its MCP name, the description written for the agent,
// its kind, the JSON Schema of the "arguments" object it takes and how it is built from the shared
// services. The tool table, the dispatch and the catalogue that "tools/list" announces are all
// built from it, so a tool joins the server through its own files and one row here; the row
// checks at compile time that the tool keeps the contract of a Tool (mcp/tools/ToolServices.hpp).
//
// A schema's properties are the JSON keys of the tool's input record in the record's field order,
// and "required" names the record's non-optional fields in the same order: both are read from the
// record's field table, an argument the tool accepts only a few texts of with their "enum".

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/server/RecordTool.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// Which server has the tool: every one, or only one with a browser controller.
enum class ToolKind { core, browser };

// One tool of the list. Constant.
struct ToolRow {
  std::string_view name;         // compared exactly: case-sensitive, untrimmed
  std::string_view description;  // as announced, UTF-8
  ToolKind kind = ToolKind::core;
  // The input schema, built afresh on each call.
  support::OrderedJson (*inputSchema)() = nullptr;
  // The tool over `services`, named `name` (the row's name, which the tools that take the resolve
  // road ask and audit under). A browser tool needs `services.browser`.
  std::shared_ptr<const RunnableTool> (*build)(const ToolServices& services,
                                               std::string_view name) = nullptr;
  // The argument that may hold a text of any length (a secret value, an HTTP body); empty for
  // none.
  std::string_view longText{};
};

// Every row, in announcement order: "secret_list" to "project_delete", then the browser tools
// "browser_start" to "credential_capture". Its size is the number of tools the server announces.
[[nodiscard]] std::span<const ToolRow> toolRows() noexcept;

// The row named exactly `name`, or null.
[[nodiscard]] const ToolRow* findToolRow(std::string_view name) noexcept;

// The schema of an arguments object: {"type": "object", "properties": properties}, with
// "required": required added only when `required` is non-empty (the key is left out rather than
// written as []).
[[nodiscard]] support::OrderedJson objectSchema(support::OrderedJson properties,
                                                const std::vector<std::string>& required);

// The definitions of toolRows(), in its order, each an object with exactly "name", "description"
// and "inputSchema". Built afresh from constants on every call; independent of options,
// environment and the browser's state, so two calls give equal lists. Thread-safe; never throws
// except for std::bad_alloc.
[[nodiscard]] support::OrderedJson toolDefinitions();

// Those of the browser tools alone, in the same order, "browser_start" to "credential_capture".
// Same guarantees as toolDefinitions().
[[nodiscard]] support::OrderedJson browserToolDefinitions();

}  // namespace varn::mcp
