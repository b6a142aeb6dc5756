#include "mcp/tools/ToolError.hpp"

namespace varn::mcp {
namespace {

std::string printedForm(ToolError::Case errorCase, const std::string& message) {
  std::string out =
      errorCase == ToolError::Case::invalidArguments ? "invalidArguments(\"" : "upstream(\"";
  out.reserve(out.size() + message.size() + 2);
  for (char c : message) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  out += "\")";
  return out;
}

}  // namespace

ToolError::ToolError(Case errorCase, std::string message)
    : case_(errorCase), message_(std::move(message)), printed_(printedForm(case_, message_)) {}

}  // namespace varn::mcp
