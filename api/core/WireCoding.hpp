#pragma once

// The client's two shared coders: request bodies out, replies in. Both are stateless functions, so
// there is nothing to build per call or to share between threads.

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "api/core/APIError.hpp"
#include "support/Json.hpp"
#include "support/JsonRecord.hpp"

namespace varn::api {

// Compact JSON text of a body. Throws APIError::decoding when the value cannot be written (text
// that is not UTF-8, a non-finite number); nothing is sent then.
[[nodiscard]] std::string encodeBody(const support::OrderedJson& body);

template <support::JsonRecord T>
[[nodiscard]] std::string encodeBody(const T& record) {
  support::OrderedJson json;
  try {
    json = support::encodeRecord(record);
  } catch (const support::JsonDecodeError& error) {
    throw APIError::decoding(error.message());
  }
  return encodeBody(json);
}

namespace detail {

template <typename T>
concept HasOwnDecoding = requires(const support::Json& json) {
  { T::fromJson(json) } -> std::same_as<T>;
};

template <typename T>
T decodeValue(const support::Json& json) {
  if constexpr (HasOwnDecoding<T>) {
    return T::fromJson(json);
  } else if constexpr (support::JsonRecord<T>) {
    return support::decodeRecord<T>(json);
  } else {
    return support::JsonCoder<T>::decode(json, "reply");
  }
}

[[noreturn]] void throwDecoding(const support::JsonDecodeError& error);

}  // namespace detail

// A reply body decoded into a record (or a list of records). Throws APIError::decoding with the
// coder's text when the body is not JSON (an empty body included) or does not fit the type.
template <typename T>
[[nodiscard]] T decodeReply(std::string_view body) {
  try {
    return detail::decodeValue<T>(support::parseJsonOrThrow(body));
  } catch (const support::JsonDecodeError& error) {
    detail::throwDecoding(error);
  }
}

}  // namespace varn::api
