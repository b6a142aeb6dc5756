#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "support/Json.hpp"

namespace varn::tests {

using support::Json;

// Builders of the lines an MCP client sends; each returns one compact JSON text, no line feed.

// {"jsonrpc":"2.0","id":id,"method":method[,"params":params]}; params left out when null.
std::string request(const Json& id, const std::string& method, const Json& params = nullptr);
// {"jsonrpc":"2.0","method":method[,"params":params]}: no "id".
std::string notification(const std::string& method, const Json& params = nullptr);
// A "tools/call" request for `name` with `arguments` (left out when null).
std::string toolsCall(const Json& id, const std::string& name, const Json& arguments = nullptr);

// Parses one reply line as a JSON object. Returns nullopt when it is not one.
std::optional<Json> parseReply(const std::string& line);

// The text and error flag of a "tools/call" result.
struct ToolResult {
  std::string text;
  bool isError = false;
  bool operator==(const ToolResult&) const = default;
};

// Lets GoogleTest print a ToolResult readably.
void PrintTo(const ToolResult& result, std::ostream* out);

// Reads the tool result out of a reply: {"result":{"content":[{"type":"text","text":T}],
// "isError":B}}. Returns nullopt when the reply does not have exactly that shape.
std::optional<ToolResult> toolResult(const Json& reply);

}  // namespace varn::tests
