#include "mcp/browser/FieldElement.hpp"

#include "mcp/browser/LenientJson.hpp"

namespace varn::mcp {

using support::Json;

const LocatedElement& elementOf(const FieldMatch& match) {
  const auto* element = dynamic_cast<const LocatedElement*>(match.element.get());
  if (element == nullptr) throw BrowserError::cdpFailure("no focused field");
  return *element;
}

Json scriptAnswer(const Json& reply) {
  const LenientJson value = LenientJson(reply)["result"]["value"];
  if (value.isObject()) return value.object();
  const std::optional<std::string> text = value.optionalText();
  if (!text) return Json::object();
  return support::parseJson(*text).value_or(Json::object());
}

bool isTimeout(const BrowserError& error) {
  return error.errorCase() == BrowserError::Case::callTooLong ||
         error.errorCase() == BrowserError::Case::timedOut;
}

}  // namespace varn::mcp
