#include "crypto/vault/AgentBundle.hpp"

#include "support/Uri.hpp"

namespace varn::crypto {

bool AbsoluteUrlText::isAbsoluteUrl(std::string_view text) {
  std::optional<support::UriComponents> parts = support::parseUriReference(text);
  return parts && parts->scheme && !parts->scheme->empty();
}

std::string AbsoluteUrlText::decode(const support::Json& value, std::string_view key) {
  std::string text = support::asString(value, key);
  if (!isAbsoluteUrl(text)) support::throwWrongType(key, "an absolute URL");
  return text;
}

}  // namespace varn::crypto
