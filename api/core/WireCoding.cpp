#include "api/core/WireCoding.hpp"

namespace varn::api {

std::string encodeBody(const support::OrderedJson& body) {
  try {
    return body.dump();
  } catch (const support::OrderedJson::exception&) {
    // nlohmann refuses text that is not UTF-8; its message would quote the offending byte.
    throw APIError::decoding("a text to send is not valid UTF-8");
  }
}

namespace detail {

void throwDecoding(const support::JsonDecodeError& error) {
  throw APIError::decoding(error.message());
}

}  // namespace detail
}  // namespace varn::api
