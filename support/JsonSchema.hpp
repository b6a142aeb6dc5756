#pragma once

// The JSON Schema of a record's object, read from its field table (support/JsonRecord.hpp): what
// the server announces of a tool's arguments.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/JsonRecord.hpp"

namespace varn::support {

// The JSON Schema of a value of type T, for the types a tool's arguments take: a text, a flag, an
// integer, a list of texts, or a map of texts to texts (an object whose entries are not described).
template <typename T>
OrderedJson jsonSchemaShape() {
  OrderedJson shape = OrderedJson::object();
  if constexpr (std::same_as<T, std::string>) {
    shape["type"] = "string";
  } else if constexpr (std::same_as<T, bool>) {
    shape["type"] = "boolean";
  } else if constexpr (std::same_as<T, std::int64_t> || std::same_as<T, std::int32_t>) {
    shape["type"] = "integer";
  } else if constexpr (std::same_as<T, std::map<std::string, std::string>>) {
    shape["type"] = "object";
  } else if constexpr (std::same_as<T, std::vector<std::string>>) {
    shape["type"] = "array";
    shape["items"] = jsonSchemaShape<std::string>();
  } else {
    static_assert(sizeof(T) == 0, "no schema shape for this type");
  }
  return shape;
}

// The parts of the JSON Schema of a record's object: every key mapped to the shape of its value,
// in table order (a text announced through oneOf with "enum" and its texts), and the keys of the
// required (non-optional) fields, in the same order.
struct JsonRecordSchema {
  OrderedJson properties = OrderedJson::object();
  std::vector<std::string> required;
};

template <JsonRecord T>
[[nodiscard]] JsonRecordSchema jsonRecordSchema() {
  JsonRecordSchema schema;
  auto add = [&]<typename Member, typename Coder>(const JsonField<T, Member, Coder>& field) {
    OrderedJson shape = jsonSchemaShape<typename OptionalTraits<Member>::Value>();
    if (!field.texts.empty())
      shape["enum"] = std::vector<std::string>(field.texts.begin(), field.texts.end());
    schema.properties[std::string(field.key)] = std::move(shape);
    if constexpr (!OptionalTraits<Member>::isOptional) schema.required.emplace_back(field.key);
  };
  std::apply([&](const auto&... fields) { (add(fields), ...); }, kJsonRecordTable<T>.fields);
  return schema;
}

}  // namespace varn::support
