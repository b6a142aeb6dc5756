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
  const LenientJson result = LenientJson(reply)["result"];
  if (result["deepSerializedValue"]["type"].text() == "object") {
    // Pairs of a member's name and its serialized value; only plain values are kept.
    Json members = Json::object();
    for (const Json& pair : result["deepSerializedValue"]["value"].array()) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_object()) {
        continue;
      }
      const auto value = pair[1].find("value");
      if (value != pair[1].end() &&
          (value->is_string() || value->is_number() || value->is_boolean())) {
        members[pair[0].get<std::string>()] = *value;
      }
    }
    return members;
  }
  const LenientJson value = result["value"];
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
