#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "api/models/JSONValue.hpp"

namespace varn::api {

// The crypto parameters of an item, carried as any JSON value. On the wire the record is its value
// itself (the member "crypto_params" holds the parameters, never an object with a member "value").
// A value read from the wire stays as it came, whatever its kind; the parameters the record makes
// itself are an object with the one member "envelope_version". A plain value; thread-safe to read.
struct CryptoParamsDTO {
  // The object {"envelope_version": 1}.
  CryptoParamsDTO();
  // The object {"envelope_version": envelope_version}.
  explicit CryptoParamsDTO(std::int64_t envelope_version);

  // The JSON value that the text holds (any kind, a bare scalar too); the object
  // {"envelope_version": 1} when the text is not JSON, is empty, is not UTF-8 or nests deeper than
  // JSONValue::kMaxDepth. Never fails.
  [[nodiscard]] static CryptoParamsDTO fromRawJSON(std::string_view text);

  // The canonical text of value: compact, the members of every object at every depth in byte order
  // of their keys. "{}" when value holds a non-finite double or text that is not UTF-8.
  [[nodiscard]] std::string rawJSON() const;

  // The envelope version that value names: the member "envelope_version" of an object value, an
  // integer as it is, a double truncated toward zero; 1 for any other value, for a member of any
  // other kind, and for a double with no 64-bit integer form (not finite, or beyond the range).
  [[nodiscard]] std::int64_t envelopeVersion() const;

  bool operator==(const CryptoParamsDTO&) const = default;

  JSONValue value;
};

}  // namespace varn::api

// Coded as its value, at the position of the field.
template <>
struct varn::support::JsonCoder<varn::api::CryptoParamsDTO> {
  static constexpr bool kDecodesNull = true;
  static OrderedJson encode(const varn::api::CryptoParamsDTO& value) {
    return JsonCoder<varn::api::JSONValue>::encode(value.value);
  }
  static varn::api::CryptoParamsDTO decode(const Json& value, std::string_view key) {
    varn::api::CryptoParamsDTO out;
    out.value = JsonCoder<varn::api::JSONValue>::decode(value, key);
    return out;
  }
};
