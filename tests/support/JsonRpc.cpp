#include "tests/support/JsonRpc.hpp"

namespace varn::tests {

std::string request(const Json& id, const std::string& method, const Json& params) {
  support::OrderedJson message{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) message["params"] = params;
  return support::dumpCompact(message);
}

std::string notification(const std::string& method, const Json& params) {
  support::OrderedJson message{{"jsonrpc", "2.0"}, {"method", method}};
  if (!params.is_null()) message["params"] = params;
  return support::dumpCompact(message);
}

std::string toolsCall(const Json& id, const std::string& name, const Json& arguments) {
  Json params{{"name", name}};
  if (!arguments.is_null()) params["arguments"] = arguments;
  return request(id, "tools/call", params);
}

std::optional<Json> parseReply(const std::string& line) {
  std::optional<Json> parsed = support::parseJson(line);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return parsed;
}

void PrintTo(const ToolResult& result, std::ostream* out) {
  *out << (result.isError ? "error result " : "result ") << support::dumpCompact(Json(result.text));
}

std::optional<ToolResult> toolResult(const Json& reply) {
  auto result = reply.find("result");
  if (result == reply.end() || !result->is_object() || result->size() != 2) return std::nullopt;
  auto content = result->find("content");
  auto isError = result->find("isError");
  if (content == result->end() || isError == result->end() || !isError->is_boolean()) {
    return std::nullopt;
  }
  if (!content->is_array() || content->size() != 1) return std::nullopt;
  const Json& item = (*content)[0];
  if (!item.is_object() || item.size() != 2 || item.value("type", "") != "text") {
    return std::nullopt;
  }
  auto text = item.find("text");
  if (text == item.end() || !text->is_string()) return std::nullopt;
  return ToolResult{text->get<std::string>(), isError->get<bool>()};
}

}  // namespace varn::tests
