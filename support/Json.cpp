#include "support/Json.hpp"

#include <cmath>
#include <limits>

#include "support/Utf8.hpp"

namespace varn::support {
namespace {

// Deepest container nesting of a JSON text, counted without parsing: brackets inside strings do
// not count. Stops early once the limit is passed.
bool nestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return true;
        break;
      case ']':
      case '}':
        --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

std::string quoted(std::string_view key) {
  return "\"" + std::string(key) + "\"";
}

}  // namespace

std::optional<Json> parseJson(std::string_view text) noexcept {
  try {
    // nlohmann's reader takes a NUL byte for the end of its input and would accept a valid prefix;
    // no JSON text holds a raw NUL (not as white space, not inside a string).
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (!isValidUtf8(text) || nestsDeeperThan(text, kMaxJsonDepth)) return std::nullopt;
    Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (...) {
    // Out-of-range numbers ("1e400") and allocation failures land here.
    return std::nullopt;
  }
}

Json parseJsonOrThrow(std::string_view text) {
  std::optional<Json> value = parseJson(text);
  if (!value) throw JsonDecodeError("the data is not valid JSON");
  return std::move(*value);
}

std::string dumpCompact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dumpCompact(const OrderedJson& value) {
  return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

std::string dumpEscapingSlashes(const OrderedJson& value) {
  std::string text = dumpCompact(value);
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

const Json& requireObject(const Json& value, std::string_view what) {
  if (!value.is_object()) throw JsonDecodeError(std::string(what) + " must be a JSON object");
  return value;
}

const Json* findPresent(const Json& object, std::string_view key) {
  requireObject(object);
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

void throwMissing(std::string_view key) {
  throw JsonDecodeError("missing required key " + quoted(key));
}

void throwWrongType(std::string_view key, std::string_view expected) {
  throw JsonDecodeError("key " + quoted(key) + " must be " + std::string(expected));
}

std::string asString(const Json& value, std::string_view key) {
  if (!value.is_string()) throwWrongType(key, "a string");
  return value.get<std::string>();
}

bool asBool(const Json& value, std::string_view key) {
  if (!value.is_boolean()) throwWrongType(key, "a boolean");
  return value.get<bool>();
}

std::int64_t asInt64(const Json& value, std::string_view key) {
  constexpr const char* kExpected = "an integer within the signed 64-bit range";
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throwWrongType(key, kExpected);
    }
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is exactly representable; every double below it and at or above -2^63 fits.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  throwWrongType(key, kExpected);
}

std::vector<std::string> asStringList(const Json& value, std::string_view key) {
  if (!value.is_array()) throwWrongType(key, "an array of strings");
  std::vector<std::string> out;
  out.reserve(value.size());
  for (const Json& element : value) {
    if (!element.is_string()) throwWrongType(key, "an array of strings");
    out.push_back(element.get<std::string>());
  }
  return out;
}

std::string requireString(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) throwMissing(key);
  return asString(*value, key);
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) return std::nullopt;
  return asString(*value, key);
}

bool requireBool(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) throwMissing(key);
  return asBool(*value, key);
}

std::optional<bool> optionalBool(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) return std::nullopt;
  return asBool(*value, key);
}

std::int64_t requireInt64(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) throwMissing(key);
  return asInt64(*value, key);
}

std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) return std::nullopt;
  return asInt64(*value, key);
}

std::vector<std::string> requireStringList(const Json& object, std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) throwMissing(key);
  return asStringList(*value, key);
}

std::optional<std::vector<std::string>> optionalStringList(const Json& object,
                                                           std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) return std::nullopt;
  return asStringList(*value, key);
}

std::optional<std::map<std::string, std::string>> optionalStringMap(const Json& object,
                                                                    std::string_view key) {
  const Json* value = findPresent(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_object()) throwWrongType(key, "an object of strings");
  std::map<std::string, std::string> out;
  for (const auto& [name, element] : value->items()) {
    if (!element.is_string()) throwWrongType(key, "an object of strings");
    out.emplace(name, element.get<std::string>());
  }
  return out;
}

}  // namespace varn::support
