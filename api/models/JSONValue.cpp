#include "api/models/JSONValue.hpp"

#include <cmath>
#include <limits>

namespace varn::api {
namespace {

constexpr const char* kUnsupported = "unsupported JSON value";

JSONValue decode(const support::Json& value, int depth) {
  using Json = support::Json;
  switch (value.type()) {
    case Json::value_t::null:
      return JSONValue::null();
    case Json::value_t::boolean:
      return JSONValue::boolean(value.get<bool>());
    case Json::value_t::number_integer:
      return JSONValue::integer(value.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      const auto number = value.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return JSONValue::integer(static_cast<std::int64_t>(number));
      }
      return JSONValue::floating(static_cast<double>(number));
    }
    case Json::value_t::number_float: {
      // A whole number within the signed 64-bit range arrives from support::parseJson as an
      // integer, whatever its text; a double here keeps its kind, even when it happens to be
      // whole (12345678901234567890123e-5), the one rule of every integer field.
      const double number = value.get<double>();
      if (!std::isfinite(number)) throw support::JsonDecodeError(kUnsupported);
      return JSONValue::floating(number);
    }
    case Json::value_t::string:
      return JSONValue::string(value.get<std::string>());
    case Json::value_t::array: {
      if (depth >= JSONValue::kMaxDepth) throw support::JsonDecodeError(kUnsupported);
      JSONValue::Array elements;
      elements.reserve(value.size());
      for (const Json& element : value) elements.push_back(decode(element, depth + 1));
      return JSONValue::array(std::move(elements));
    }
    case Json::value_t::object: {
      if (depth >= JSONValue::kMaxDepth) throw support::JsonDecodeError(kUnsupported);
      JSONValue::Object members;
      for (const auto& [key, member] : value.items()) {
        members.emplace_hint(members.end(), key, decode(member, depth + 1));
      }
      return JSONValue::object(std::move(members));
    }
    default:  // binary and discarded values come from no JSON text
      throw support::JsonDecodeError(kUnsupported);
  }
}

template <typename Out>
Out encode(const JSONValue& value) {
  return std::visit(
      [](const auto& payload) -> Out {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, JSONValue::Object>) {
          Out out = Out::object();
          for (const auto& [key, member] : payload) out[key] = encode<Out>(member);
          return out;
        } else if constexpr (std::is_same_v<T, JSONValue::Array>) {
          Out out = Out::array();
          for (const JSONValue& element : payload) out.push_back(encode<Out>(element));
          return out;
        } else if constexpr (std::is_same_v<T, double>) {
          if (!std::isfinite(payload)) {
            throw support::JsonDecodeError("a non-finite number cannot be written as JSON");
          }
          return Out(payload);
        } else {
          return Out(payload);
        }
      },
      value.payload);
}

}  // namespace

JSONValue JSONValue::fromJson(const support::Json& value) {
  return decode(value, 0);
}

support::OrderedJson JSONValue::toJson() const {
  return encode<support::OrderedJson>(*this);
}

support::Json JSONValue::toSortedJson() const {
  return encode<support::Json>(*this);
}

}  // namespace varn::api

varn::api::JSONValue varn::support::JsonCoder<varn::api::JSONValue>::decode(const Json& value,
                                                                            std::string_view key) {
  try {
    return varn::api::JSONValue::fromJson(value);
  } catch (const JsonDecodeError& error) {
    throw JsonDecodeError(std::string(key) + ": " + error.message());
  }
}
