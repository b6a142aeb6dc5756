#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/JsonRecord.hpp"

namespace varn::api {

// Any JSON value, as the free-form members of the wire carry it (crypto parameters, policy
// constraints). An object holds each key once and keeps no order of its members (it iterates in
// byte order of the keys). Equality is structural: the same kind with equal payloads; an integer
// never equals a double, whatever their numeric values; doubles compare by IEEE 754 equality.
//
// Coded as a bare JSON value, not as a keyed record. A number read from JSON is an integer when it
// is a whole number within the signed 64-bit range, however it is written (3, 3.0 and 3e0 are all
// the integer 3), and a double otherwise (1.5, 1e300, 2^64).
class JSONValue {
 public:
  using Object = std::map<std::string, JSONValue>;
  using Array = std::vector<JSONValue>;
  enum class Kind { object, array, string, integer, floating, boolean, null };

  // Deepest nesting of arrays and objects that decoding accepts.
  static constexpr int kMaxDepth = 512;

  // The JSON null.
  JSONValue() = default;

  [[nodiscard]] static JSONValue object(Object members) { return JSONValue(std::move(members)); }
  [[nodiscard]] static JSONValue array(Array elements) { return JSONValue(std::move(elements)); }
  [[nodiscard]] static JSONValue string(std::string text) { return JSONValue(std::move(text)); }
  [[nodiscard]] static JSONValue integer(std::int64_t number) { return JSONValue(number); }
  [[nodiscard]] static JSONValue floating(double number) { return JSONValue(number); }
  [[nodiscard]] static JSONValue boolean(bool flag) { return JSONValue(flag); }
  [[nodiscard]] static JSONValue null() { return JSONValue(); }

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(payload.index()); }

  // Reads any JSON value. Throws support::JsonDecodeError("unsupported JSON value") when arrays
  // and objects nest deeper than kMaxDepth; a value of the decoder (parsed by support::parseJson)
  // has no other failure.
  [[nodiscard]] static JSONValue fromJson(const support::Json& value);
  // Writes the value; object members in byte order of their keys. Throws
  // support::JsonDecodeError("a non-finite number cannot be written as JSON") for a double that is
  // NaN or infinite, which JSON cannot hold.
  [[nodiscard]] support::OrderedJson toJson() const;
  // The same as a plain (key-sorted) nlohmann value, with the same failure.
  [[nodiscard]] support::Json toSortedJson() const;

  bool operator==(const JSONValue&) const = default;

  // The payload, one alternative per Kind in the same order.
  std::variant<Object, Array, std::string, std::int64_t, double, bool, std::nullptr_t> payload{
      nullptr};

 private:
  template <typename T>
  explicit JSONValue(T value) : payload(std::move(value)) {}
};

}  // namespace varn::api

// A JSONValue field reads any JSON value; its failure carries the field's key.
template <>
struct varn::support::JsonCoder<varn::api::JSONValue> {
  static constexpr bool kDecodesNull = true;  // null is a value, not an absent key
  static OrderedJson encode(const varn::api::JSONValue& value) { return value.toJson(); }
  static varn::api::JSONValue decode(const Json& value, std::string_view key);
};
