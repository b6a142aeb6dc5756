#pragma once

// Strict JSON helpers shared by every typed record of the system.
//
// Records decode all or nothing: a required key must be present, non-null and of its exact JSON
// type; an optional key may be absent or null (both give an absent field) but must have its type
// when present; keys a record does not declare are ignored. Integers never come from strings or
// from numbers with a fraction. Failures throw JsonDecodeError, whose text names the key and the
// expected type and never quotes the offending value (a value may be a secret).

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace varn::support {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Deepest nesting of arrays and objects that parseJson accepts; deeper input is treated as not
// JSON, because copying, dumping or comparing such values recurses once per level.
inline constexpr int kMaxJsonDepth = 512;

// The decoder's error for a JSON text or value that does not fit the record being read.
class JsonDecodeError : public std::exception {
 public:
  explicit JsonDecodeError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Parses one JSON text (surrounding JSON white space allowed) that takes up every byte of `text`.
// Returns nullopt when the text is not valid UTF-8 JSON (a NUL or any other byte after the value
// included) or nests deeper than kMaxJsonDepth. Never throws.
// A number whose exact value is a whole number within the signed 64-bit range becomes an integer
// however it is written (3.0, 1e2); any other number with a fraction, an exponent or more digits
// than 64 bits hold stays a double, even where the double happens to be whole.
[[nodiscard]] std::optional<Json> parseJson(std::string_view text) noexcept;

// Parses one JSON text as parseJson does, but builds only its outline: of a top-level object,
// only the members that `keep` names, each a top-level key ("id") or a key of a top-level object
// ("params.name"), with the objects on the way to them. A kept member whose value is an array or
// an object holds null instead; every other value is read and dropped as it comes, so the result
// stays small whatever the text holds.
[[nodiscard]] std::optional<Json> parseJsonOutline(std::string_view text,
                                                   std::span<const std::string_view> keep) noexcept;

// A copy of a JSON text in which every number too large for a double (1e400, -1e400) is written
// as the largest double of its sign, for a reader that needs such a number's place but not its
// value; nullopt when the text holds no such number. Strings are left as they are.
[[nodiscard]] std::optional<std::string> clampHugeNumbers(std::string_view text);

// About what parseJson's value of a JSON text holds in memory, in bytes, counted from the text
// without parsing it: every value, text and object member costs far more than its characters.
// Meant for valid JSON; for other text the count means nothing.
[[nodiscard]] std::size_t parsedBytes(std::string_view text) noexcept;

// The text of the last member named `key` of a JSON object text (valid JSON, as parseJson accepts
// it, a leading byte order mark included), exactly as written but for the white space between its
// tokens; nullopt when it has none.
[[nodiscard]] std::optional<std::string> memberText(std::string_view object, std::string_view key);

// Whether a JSON object text, read as memberText reads it, has a member named `key`. Copies
// nothing, however long the values are.
[[nodiscard]] bool hasMember(std::string_view object, std::string_view key);

// Like parseJson, but throws JsonDecodeError("the data is not valid JSON") instead of returning
// nullopt. Used where a failed parse is the decoder's error (vault replies).
[[nodiscard]] Json parseJsonOrThrow(std::string_view text);

// Compact JSON text. Invalid UTF-8 in strings is replaced rather than thrown on.
[[nodiscard]] std::string dumpCompact(const Json& value);
[[nodiscard]] std::string dumpCompact(const OrderedJson& value);

// Compact JSON text with every "/" written as "\/", the form the vault wire and the audit trail
// use. Safe as a text replacement because "/" only ever occurs inside JSON strings.
[[nodiscard]] std::string dumpEscapingSlashes(const OrderedJson& value);

// Checks that a value is a JSON object; `what` names it in the error ("reply", "groups[2]").
const Json& requireObject(const Json& value, std::string_view what = "value");

// Value-level checks: `value` (present and not null) read as the type, or JsonDecodeError naming
// `key` and the expected type. The key-level helpers below and the record codec
// (support/JsonRecord.hpp) are built on these.
[[nodiscard]] std::string asString(const Json& value, std::string_view key);
[[nodiscard]] bool asBool(const Json& value, std::string_view key);
[[nodiscard]] std::int64_t asInt64(const Json& value, std::string_view key);
[[nodiscard]] std::vector<std::string> asStringList(const Json& value, std::string_view key);
// An object whose every member is a string: "key \"headers\" must be an object of strings".
[[nodiscard]] std::map<std::string, std::string> asStringMap(const Json& value,
                                                             std::string_view key);

[[nodiscard]] std::string requireString(const Json& object, std::string_view key);
[[nodiscard]] std::optional<std::string> optionalString(const Json& object, std::string_view key);

[[nodiscard]] bool requireBool(const Json& object, std::string_view key);
[[nodiscard]] std::optional<bool> optionalBool(const Json& object, std::string_view key);

// Accepts integers within the signed 64-bit range: a whole number within it as parseJson reads it
// (3.0 and 1e2 included), never a double (12345678901234567890123e-5 is not 123456789012345680).
[[nodiscard]] std::int64_t requireInt64(const Json& object, std::string_view key);
[[nodiscard]] std::optional<std::int64_t> optionalInt64(const Json& object, std::string_view key);

[[nodiscard]] std::vector<std::string> requireStringList(const Json& object, std::string_view key);
[[nodiscard]] std::optional<std::vector<std::string>> optionalStringList(const Json& object,
                                                                         std::string_view key);

// An object whose every value is a string, such as headers or environment references.
[[nodiscard]] std::optional<std::map<std::string, std::string>> optionalStringMap(
    const Json& object, std::string_view key);

// A required array of records, each decoded by `decode`; one failing element fails the whole list
// and the error names its index.
template <typename Decode>
[[nodiscard]] auto requireList(const Json& object, std::string_view key, Decode decode)
    -> std::vector<decltype(decode(std::declval<const Json&>()))>;

// Writers: an absent optional is never written, not even as null.
template <typename T>
void putOptional(OrderedJson& out, const char* key, const std::optional<T>& value) {
  if (value) out[key] = *value;
}

// --- implementation details ---------------------------------------------------------------------

// The value of `key` if present and not null, else nullptr. Throws if `object` is not an object.
const Json* findPresent(const Json& object, std::string_view key);
[[noreturn]] void throwMissing(std::string_view key);
[[noreturn]] void throwWrongType(std::string_view key, std::string_view expected);

template <typename Decode>
auto requireList(const Json& object, std::string_view key, Decode decode)
    -> std::vector<decltype(decode(std::declval<const Json&>()))> {
  const Json* value = findPresent(object, key);
  if (value == nullptr) throwMissing(key);
  if (!value->is_array()) throwWrongType(key, "an array");
  std::vector<decltype(decode(std::declval<const Json&>()))> out;
  out.reserve(value->size());
  std::size_t index = 0;
  for (const Json& element : *value) {
    try {
      out.push_back(decode(element));
    } catch (const JsonDecodeError& error) {
      throw JsonDecodeError(std::string(key) + "[" + std::to_string(index) +
                            "]: " + error.message());
    }
    ++index;
  }
  return out;
}

}  // namespace varn::support
