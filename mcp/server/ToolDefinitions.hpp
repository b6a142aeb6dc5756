#pragma once

// The server's one list of tools: for each its MCP name, the description written for the agent,
// the JSON Schema of the "arguments" object it takes, how it is built from the shared services and
// how it runs. The tool table, the dispatch and the catalogue that "tools/list" announces are all
// built from it, so a tool joins the server through its own files and one row here.
//
// A schema's properties are the JSON keys of the tool's input record in the record's field order,
// and "required" names the record's non-optional fields in the same order: both are read from the
// record's field table, an argument the tool accepts only a few texts of with their "enum".

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/Json.hpp"

namespace varn::mcp {

struct ToolServices;

// One tool of the list. Constant.
struct ToolRow {
  std::string_view name;         // compared exactly: case-sensitive, untrimmed
  std::string_view description;  // as announced, UTF-8
  // The input schema, built afresh on each call.
  support::OrderedJson (*inputSchema)();
  // The tool over `services`, named `name` (the row's name, which the tools that take the resolve
  // road ask and audit under); null for a browser tool when `services` has no browser controller.
  std::shared_ptr<const void> (*build)(const ToolServices& services, std::string_view name);
  // Decodes `args` as the tool's input record (a list or map past its limit is refused with
  // ToolError::invalidArguments, a decoding error passes through, and the tool does not run),
  // frees them, runs `tool` (what `build` made, never null) and returns its output record as JSON
  // text ("{}" when it cannot be written). A tool without input never looks at `args`. Blocks for
  // as long as the tool runs.
  std::string (*run)(const void* tool, support::Json& args);
  // The argument that may hold a text of any length (a secret value, an HTTP body); empty for
  // none.
  std::string_view longText{};
};

// The 28 rows in announcement order: "secret_list" to "project_delete", then the browser tools
// "browser_start" to "credential_capture".
[[nodiscard]] std::span<const ToolRow> toolRows() noexcept;

// The row named exactly `name`, or null.
[[nodiscard]] const ToolRow* findToolRow(std::string_view name) noexcept;

// The input schema {"type": "object", "properties": properties}, with "required": required added
// only when `required` is non-empty (the key is left out rather than written as []).
[[nodiscard]] support::OrderedJson obj(support::OrderedJson properties,
                                       const std::vector<std::string>& required);

// The 28 tool definitions of toolRows(), in its order, each an object with exactly "name",
// "description" and "inputSchema". Built afresh from constants on every call; independent of
// options, environment and the browser's state, so two calls give equal lists. Thread-safe; never
// throws except for std::bad_alloc.
[[nodiscard]] support::OrderedJson toolDefinitions();

// The last 8 of those, the browser tools, "browser_start" to "credential_capture". Same
// guarantees as toolDefinitions().
[[nodiscard]] support::OrderedJson browserToolDefinitions();

}  // namespace varn::mcp
