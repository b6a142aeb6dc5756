#include "api/core/Base64URL.hpp"

#include "crypto/vault/Base64.hpp"

namespace varn::api {

std::string Base64URL::encode(const Bytes& data) {
  std::string text = crypto::Base64::encode(data);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '+') {
      out += '-';
    } else if (c == '/') {
      out += '_';
    } else if (c != '=') {
      out += c;
    }
  }
  return out;
}

std::optional<Bytes> Base64URL::decode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-') {
      c = '+';
    } else if (c == '_') {
      c = '/';
    }
  }
  // Padding for the lengths 2 and 3 modulo 4; a length of 1 modulo 4 stays invalid either way.
  standard.append((4 - standard.size() % 4) % 4, '=');
  return crypto::Base64::decode(standard);
}

}  // namespace varn::api
