#pragma once

// The one JSON coding of the system's typed records, declared once per record.
//
// Mechanism: a small constexpr field table of our own (not Boost.Describe). A record lists its
// fields once, beside the struct, in the order they are written:
//
//   struct GroupOutput { std::string id; std::string name; std::optional<std::string> parent; };
//   VARN_JSON_RECORD(GroupOutput, "group", VARN_JSON_FIELD(id), VARN_JSON_FIELD(name),
//                    VARN_JSON_FIELD(parent));
//
// and encodeRecord / decodeRecord (or a nested field of that record type) apply the rule:
//   - fields are written in table order; an absent optional is left out, never written as null;
//   - a required key must be present, not null, and of its exact JSON type (the strict checks of
//     support/Json.hpp: integers are whole and in range, never strings);
//   - an optional key may be absent or null (both give an absent field) and is typed when present;
//   - keys the record does not list are ignored;
//   - nested records, arrays, optionals, UUIDs and closed value sets compose generically.
// Decoding is all or nothing and throws JsonDecodeError naming the key (prefixed by the path of
// nested records and array elements, "groups[1]: missing required key \"id\""), never quoting a
// value.
//
// Why a field table rather than Boost.Describe: the key of a field is its member's name unless the
// table gives one, and byte fields pick their text form per field. Several record families need
// both (the vault wire's snake-case keys beside camel-case members, "wrapped_account_privkeys",
// Base64 byte fields); Boost.Describe lists names and members only, so it would need a second
// table for keys and coders beside its own. A field table is one list holding all three.
//
// Field forms, inside VARN_JSON_RECORD:
//   VARN_JSON_FIELD(member)              key = the member's name, coder chosen by the member type
//   VARN_JSON_FIELD_AS(member, "key")    another key
//   ... .atMost(n)                       at most n elements or members, checked before decoding
//   ... .oneOf(texts)                    a text announced as one of `texts` (the schema only)
//   ... .coded<Coder>()                  an explicit coder (byte fields: see
//   crypto/vault/Base64.hpp)
// A coder is a type with `static OrderedJson encode(const T&)` and
// `static T decode(const Json& value, std::string_view key)` (value present and not null, unless
// the coder declares kDecodesNull, below); for an optional member it codes the contained value.
// JsonCoder<T> is the coder chosen by type; other types join by specialising it. Byte vectors have
// no coder by type: their text form is chosen per field, so a byte field cannot silently become an
// array of numbers.
//
// A closed value set (enum) joins through a table found by argument-dependent lookup:
//   constexpr auto jsonEnumTexts(AIAccess) { return support::EnumTexts<AIAccess, 3>{{{...}}}; }
// which also gives its toString / fromString.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/Json.hpp"

namespace varn::support {

// The coder of a type; specialised below for texts, flags, integers, arrays, records and enums.
template <typename T>
struct JsonCoder;

// One field of a record: its JSON key, the member it lives in, and its coder.
template <typename Record, typename Member, typename C>
struct JsonField {
  using Coder = C;
  std::string_view key;
  Member Record::*member;
  // The most elements (of an array) or members (of an object) a value may hold; 0: no limit.
  // Checked by jsonLimitBreach, before decoding.
  std::size_t maxEntries = 0;
  // The texts a text field's reader accepts, announced in its schema as "enum"; empty: any. The
  // decoder takes any text: the reader refuses the others with a message of its own.
  std::span<const std::string_view> texts{};

  // The same field with an explicit coder.
  template <typename Other>
  constexpr JsonField<Record, Member, Other> coded() const {
    return {key, member, maxEntries, texts};
  }
  // The same field holding at most `entries` elements or members.
  constexpr JsonField atMost(std::size_t entries) const { return {key, member, entries, texts}; }
  // The same field announcing `accepted` (which must outlive the table: a constant).
  constexpr JsonField oneOf(std::span<const std::string_view> accepted) const {
    return {key, member, maxEntries, accepted};
  }
};

template <typename T>
struct OptionalTraits {
  using Value = T;
  static constexpr bool isOptional = false;
};
template <typename T>
struct OptionalTraits<std::optional<T>> {
  using Value = T;
  static constexpr bool isOptional = true;
};

// A field whose coder is the one of its type (for an optional, of the contained type).
template <typename Record, typename Member>
constexpr auto jsonField(std::string_view key, Member Record::*member) {
  return JsonField<Record, Member, JsonCoder<typename OptionalTraits<Member>::Value>>{key, member};
}

// A record's table: the name its errors use ("group must be a JSON object") and its fields.
template <typename... Fields>
struct JsonRecordTable {
  std::string_view name;
  std::tuple<Fields...> fields;
};

template <typename... Fields>
constexpr JsonRecordTable<Fields...> jsonRecordTable(std::string_view name, Fields... fields) {
  return {name, std::tuple<Fields...>{fields...}};
}

// A type with a table declared through VARN_JSON_RECORD.
template <typename T>
concept JsonRecord = requires(const T* tag) {
  varnJsonRecord(tag);
};

// Declares `Type`'s field table; place it in the record's namespace, after the struct.
#define VARN_JSON_RECORD(Type, name, ...)                                     \
  [[maybe_unused]] constexpr auto varnJsonRecord(const Type*) {               \
    using Self [[maybe_unused]] = Type;                                       \
    return ::varn::support::jsonRecordTable(name __VA_OPT__(, ) __VA_ARGS__); \
  }                                                                           \
  static_assert(true)
#define VARN_JSON_FIELD(member) ::varn::support::jsonField(#member, &Self::member)
#define VARN_JSON_FIELD_AS(member, key) ::varn::support::jsonField(key, &Self::member)

// Defines a record's member functions `static Type fromJson(const Json&)` and
// `OrderedJson toJson() const` (declared in the struct) through the codec; for a source file.
#define VARN_JSON_RECORD_MEMBERS(Type)                      \
  Type Type::fromJson(const ::varn::support::Json& value) { \
    return ::varn::support::decodeRecord<Type>(value);      \
  }                                                         \
  ::varn::support::OrderedJson Type::toJson() const {       \
    return ::varn::support::encodeRecord(*this);            \
  }                                                         \
  static_assert(true)

// Writes `record` as one JSON object in table order.
template <JsonRecord T>
[[nodiscard]] OrderedJson encodeRecord(const T& record);

// Reads one JSON object as `T`; throws JsonDecodeError ("<name> must be a JSON object" for a
// value that is not an object, else the failing key).
template <JsonRecord T>
[[nodiscard]] T decodeRecord(const Json& value);

// parseJsonOrThrow, then decodeRecord.
template <JsonRecord T>
[[nodiscard]] T decodeRecordText(std::string_view text) {
  return decodeRecord<T>(parseJsonOrThrow(text));
}

// --- closed value sets --------------------------------------------------------------------------

// The texts of an enum's cases, in declaration order. `expected` is the phrase decoding errors
// use ("key \"op\" must be <expected>"); empty means "one of" followed by the quoted texts.
template <typename E, std::size_t N>
struct EnumTexts {
  std::array<std::pair<E, std::string_view>, N> cases;
  std::string_view expected{};

  // The case's text; empty for a value outside the enum.
  [[nodiscard]] constexpr std::string_view toString(E value) const noexcept {
    for (const auto& [candidate, text] : cases) {
      if (candidate == value) return text;
    }
    return {};
  }
  // The case whose text is exactly `text` (case-sensitive, nothing trimmed), else nullopt.
  [[nodiscard]] constexpr std::optional<E> fromString(std::string_view text) const noexcept {
    for (const auto& [value, candidate] : cases) {
      if (candidate == text) return value;
    }
    return std::nullopt;
  }
  [[nodiscard]] std::string expectation() const {
    if (!expected.empty()) return std::string(expected);
    std::string out = "one of ";
    for (std::size_t i = 0; i < N; ++i) {
      if (i > 0) out += ", ";
      out += "\"" + std::string(cases[i].second) + "\"";
    }
    return out;
  }
};

template <typename E>
concept JsonEnum = std::is_enum_v<E> && requires(E value) {
  jsonEnumTexts(value);
};

// --- coders by type -----------------------------------------------------------------------------

template <>
struct JsonCoder<std::string> {
  static OrderedJson encode(const std::string& value) { return value; }
  static std::string decode(const Json& value, std::string_view key) {
    return asString(value, key);
  }
};

template <>
struct JsonCoder<bool> {
  static OrderedJson encode(bool value) { return value; }
  static bool decode(const Json& value, std::string_view key) { return asBool(value, key); }
};

template <>
struct JsonCoder<std::int64_t> {
  static OrderedJson encode(std::int64_t value) { return value; }
  static std::int64_t decode(const Json& value, std::string_view key) {
    return asInt64(value, key);
  }
};

// A list of texts fails as a whole: "key \"allowed_hosts\" must be an array of strings".
template <>
struct JsonCoder<std::vector<std::string>> {
  static OrderedJson encode(const std::vector<std::string>& value) { return value; }
  static std::vector<std::string> decode(const Json& value, std::string_view key) {
    return asStringList(value, key);
  }
};

// A map of texts to texts (headers, environment references) fails as a whole: "key \"headers\"
// must be an object of strings".
template <>
struct JsonCoder<std::map<std::string, std::string>> {
  static OrderedJson encode(const std::map<std::string, std::string>& value) { return value; }
  static std::map<std::string, std::string> decode(const Json& value, std::string_view key) {
    return asStringMap(value, key);
  }
};

template <>
struct JsonCoder<std::int32_t> {
  static OrderedJson encode(std::int32_t value) { return value; }
  static std::int32_t decode(const Json& value, std::string_view key) {
    const std::int64_t wide = asInt64(value, key);
    if (wide < INT32_MIN || wide > INT32_MAX) throwWrongType(key, "a 32-bit integer");
    return static_cast<std::int32_t>(wide);
  }
};

// Any other list: elements are coded by their own coder under the key "<key>[<index>]".
template <typename T>
requires(!std::same_as<T, std::string> &&
         !std::same_as<T, std::uint8_t>) struct JsonCoder<std::vector<T>> {
  static OrderedJson encode(const std::vector<T>& value) {
    OrderedJson out = OrderedJson::array();
    for (const T& element : value) out.push_back(JsonCoder<T>::encode(element));
    return out;
  }
  static std::vector<T> decode(const Json& value, std::string_view key) {
    if (!value.is_array()) throwWrongType(key, "an array");
    std::vector<T> out;
    out.reserve(value.size());
    std::size_t index = 0;
    for (const Json& element : value) {
      out.push_back(
          JsonCoder<T>::decode(element, std::string(key) + "[" + std::to_string(index) + "]"));
      ++index;
    }
    return out;
  }
};

template <JsonEnum E>
struct JsonCoder<E> {
  static OrderedJson encode(E value) { return std::string(jsonEnumTexts(value).toString(value)); }
  static E decode(const Json& value, std::string_view key) {
    constexpr auto texts = jsonEnumTexts(E{});
    std::optional<E> decoded = texts.fromString(asString(value, key));
    if (!decoded) throwWrongType(key, texts.expectation());
    return *decoded;
  }
};

// A nested record: its errors are prefixed with the key it sits under.
template <JsonRecord T>
struct JsonCoder<T> {
  static OrderedJson encode(const T& value) { return encodeRecord(value); }
  static T decode(const Json& value, std::string_view key) {
    try {
      return decodeRecord<T>(value);
    } catch (const JsonDecodeError& error) {
      throw JsonDecodeError(std::string(key) + ": " + error.message());
    }
  }
};

// --- copying between records --------------------------------------------------------------------

// A record's table as a constant.
template <JsonRecord T>
inline constexpr auto kJsonRecordTable = varnJsonRecord(static_cast<const T*>(nullptr));

// The index of the field of T whose key is `key`, or the number of fields when there is none.
template <JsonRecord T>
constexpr std::size_t jsonFieldIndex(std::string_view key) {
  constexpr std::size_t count = std::tuple_size_v<decltype(kJsonRecordTable<T>.fields)>;
  std::size_t found = count;
  std::size_t index = 0;
  auto check = [&](const auto& field) {
    if (found == count && field.key == key) found = index;
    ++index;
  };
  std::apply([&](const auto&... fields) { (check(fields), ...); }, kJsonRecordTable<T>.fields);
  return found;
}

// Copies every field of `from` into the field of `to` with the same key; a key `to` lacks does not
// compile. An absent optional leaves the target absent; a required field makes it present.
template <JsonRecord From, JsonRecord To>
void assignFieldsByKey(const From& from, To& to) {
  constexpr auto& fromFields = kJsonRecordTable<From>.fields;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (
        [&] {
          constexpr auto source = std::get<I>(fromFields);
          constexpr std::size_t target = jsonFieldIndex<To>(source.key);
          static_assert(target < std::tuple_size_v<decltype(kJsonRecordTable<To>.fields)>,
                        "the target record has no field with this key");
          to.*(std::get<target>(kJsonRecordTable<To>.fields).member) = from.*(source.member);
        }(),
        ...);
  }
  (std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(fromFields)>>>{});
}

// --- limits -------------------------------------------------------------------------------------

// A field whose value holds more entries than its limit.
struct JsonLimitBreach {
  std::string_view key;
  std::size_t limit = 0;
};

// The first field of T, in table order, whose value in `object` is an array or an object with
// more entries than the field's atMost limit; nullopt when none is, or `object` is no object.
// Counts without decoding anything.
template <JsonRecord T>
[[nodiscard]] std::optional<JsonLimitBreach> jsonLimitBreach(const Json& object) {
  std::optional<JsonLimitBreach> breach;
  if (!object.is_object()) return breach;
  auto check = [&](const auto& field) {
    if (breach || field.maxEntries == 0) return;
    const auto found = object.find(field.key);
    if (found == object.end() || !(found->is_array() || found->is_object())) return;
    if (found->size() > field.maxEntries) breach = JsonLimitBreach{field.key, field.maxEntries};
  };
  std::apply([&](const auto&... fields) { (check(fields), ...); }, kJsonRecordTable<T>.fields);
  return breach;
}

// --- implementation -----------------------------------------------------------------------------

template <JsonRecord T>
OrderedJson encodeRecord(const T& record) {
  constexpr auto table = varnJsonRecord(static_cast<const T*>(nullptr));
  OrderedJson out = OrderedJson::object();
  auto put = [&]<typename Member, typename Coder>(const JsonField<T, Member, Coder>& field) {
    const Member& value = record.*(field.member);
    if constexpr (OptionalTraits<Member>::isOptional) {
      if (value) out[std::string(field.key)] = Coder::encode(*value);
    } else {
      out[std::string(field.key)] = Coder::encode(value);
    }
  };
  std::apply([&](const auto&... fields) { (put(fields), ...); }, table.fields);
  return out;
}

// A coder may declare `static constexpr bool kDecodesNull = true;` when its type holds JSON null as
// a value of its own (a free-form JSON value): a required field of that type then takes null, and
// only a missing key fails.
template <typename Coder>
inline constexpr bool kJsonCoderDecodesNull = requires {
  requires Coder::kDecodesNull;
};

template <JsonRecord T>
T decodeRecord(const Json& value) {
  constexpr auto table = varnJsonRecord(static_cast<const T*>(nullptr));
  requireObject(value, table.name);
  T record{};
  auto get = [&]<typename Member, typename Coder>(const JsonField<T, Member, Coder>& field) {
    const Json* present = findPresent(value, field.key);
    if constexpr (OptionalTraits<Member>::isOptional) {
      if (present == nullptr) {
        record.*(field.member) = std::nullopt;
      } else {
        record.*(field.member) = Coder::decode(*present, field.key);
      }
    } else if constexpr (kJsonCoderDecodesNull<Coder>) {
      // A value type that holds null itself: only a missing key fails.
      auto found = value.find(field.key);
      if (found == value.end()) throwMissing(field.key);
      record.*(field.member) = Coder::decode(*found, field.key);
    } else {
      if (present == nullptr) throwMissing(field.key);
      record.*(field.member) = Coder::decode(*present, field.key);
    }
  };
  std::apply([&](const auto&... fields) { (get(fields), ...); }, table.fields);
  return record;
}

}  // namespace varn::support
