#pragma once

// The catalogue that "tools/list" announces: for each of the 28 tools its name, the description
// written for the agent, and the JSON Schema of the "arguments" object it takes.
//
// The catalogue only announces; the dispatch never reads it. Every schema's properties are the
// JSON keys of the tool's input record in the record's field order, and "required" names the
// record's non-optional fields in the same order.

#include <string>
#include <vector>

#include "support/Json.hpp"

namespace varn::mcp {

// The input schema {"type": "object", "properties": properties}, with "required": required added
// only when `required` is non-empty (the key is left out rather than written as []).
[[nodiscard]] support::OrderedJson obj(support::OrderedJson properties,
                                       const std::vector<std::string>& required);

// The 28 tool definitions, each an object with exactly "name", "description" and "inputSchema":
// tools "secret_list" to "project_delete", then browserToolDefinitions() appended whole.
// Built afresh from constants on every call; independent of options, environment and the
// browser's state, so two calls give equal lists. Thread-safe; never throws except for
// std::bad_alloc.
[[nodiscard]] support::OrderedJson toolDefinitions();

// The 8 browser tool definitions, "browser_start" to "credential_capture", in announcement
// order. Same guarantees as toolDefinitions().
[[nodiscard]] support::OrderedJson browserToolDefinitions();

}  // namespace varn::mcp
