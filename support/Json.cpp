#include "support/Json.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <span>

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

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The exact value of a JSON number text when it is a whole number within the signed 64-bit range
// (3.0, 1e2, -9.2233720368547758e18), else nullopt (12.5, 1e19, 12345678901234567890123e-5).
// Works on the decimal digits themselves: a double holds only 53 bits, so it cannot tell
// 12345678901234567890123e-5 from 123456789012345680 or -2^63 from -2^63 - 1.
std::optional<std::int64_t> exactWholeNumber(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::string digits;    // integer and fraction digits, without the point
  std::int64_t ten = 0;  // the power of ten they are scaled by
  std::size_t i = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) digits += text[i];
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) {
      digits += text[i];
      --ten;
    }
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    const bool negativeExponent = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    // Capped far beyond any exponent that could still give a 64-bit whole number.
    std::int64_t exponent = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000'000);
    }
    ten += negativeExponent ? -exponent : exponent;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  digits.erase(0, first);
  while (digits.back() == '0') {
    digits.pop_back();
    ++ten;
  }
  // A fraction left, or more than the 19 digits of 2^63.
  if (ten < 0 || static_cast<std::int64_t>(digits.size()) + ten > 19) return std::nullopt;
  std::uint64_t magnitude = 0;  // below 10^19 < 2^64 by the check above
  for (char digit : digits) magnitude = magnitude * 10 + static_cast<std::uint64_t>(digit - '0');
  for (std::int64_t k = 0; k < ten; ++k) magnitude *= 10;
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (magnitude > kMax + (negative ? 1 : 0)) return std::nullopt;
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

// nlohmann's own tree builder, except that a number written with a fraction or an exponent, or an
// integer beyond its 64-bit types, is stored as an integer when its exact value is a whole number
// within the signed 64-bit range. Every other such number stays a double, which no integer field
// accepts (asInt64), so an integer is never read through a rounded double.
class WholeNumberTreeBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
 public:
  using json_sax_dom_parser::json_sax_dom_parser;

  bool number_float(double value, const std::string& text) {
    if (std::optional<std::int64_t> whole = exactWholeNumber(text)) {
      // Signed for a negative text, as nlohmann reads "-0" and "-5".
      if (text.front() == '-') return number_integer(*whole);
      return number_unsigned(static_cast<std::uint64_t>(*whole));
    }
    return json_sax_dom_parser::number_float(value, text);
  }
};

bool isJsonSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The end of the string token that starts at `i` (its opening quote): the index after its
// closing quote.
std::size_t skipString(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.size();
}

// The end of the value that starts at `i`.
std::size_t skipValue(std::string_view text, std::size_t i) {
  if (i >= text.size()) return i;
  if (text[i] == '"') return skipString(text, i);
  if (text[i] == '[' || text[i] == '{') {
    int depth = 0;
    while (i < text.size()) {
      const char c = text[i];
      if (c == '"') {
        i = skipString(text, i);
        continue;
      }
      if (c == '[' || c == '{') ++depth;
      if ((c == ']' || c == '}') && --depth == 0) return i + 1;
      ++i;
    }
    return i;
  }
  while (i < text.size() && !isJsonSpace(text[i]) && text[i] != ',' && text[i] != ']' &&
         text[i] != '}') {
    ++i;
  }
  return i;
}

std::size_t skipSpace(std::string_view text, std::size_t i) {
  while (i < text.size() && isJsonSpace(text[i])) ++i;
  return i;
}

// Builds the outline of a message (see parseJsonOutline) on nlohmann's events: the members that
// `keep` names go to the tree builder, everything else is read and dropped as it comes.
class OutlineBuilder {
 public:
  OutlineBuilder(WholeNumberTreeBuilder& tree, std::span<const std::string_view> keep)
      : tree_(tree), keep_(keep) {}

  bool null() {
    return scalar([this] { return tree_.null(); });
  }
  bool boolean(bool value) {
    return scalar([&] { return tree_.boolean(value); });
  }
  bool number_integer(Json::number_integer_t value) {
    return scalar([&] { return tree_.number_integer(value); });
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return scalar([&] { return tree_.number_unsigned(value); });
  }
  bool number_float(Json::number_float_t value, const std::string& text) {
    return scalar([&] { return tree_.number_float(value, text); });
  }
  bool string(std::string& value) {
    return scalar([&] { return tree_.string(value); });
  }
  bool binary(Json::binary_t& value) {
    return scalar([&] { return tree_.binary(value); });
  }

  bool key(std::string& name) {
    if (dropping_ == 0) key_ = std::move(name);
    return true;
  }
  bool start_object(std::size_t size) { return start(size, false); }
  bool start_array(std::size_t size) { return start(size, true); }
  bool end_object() {
    return leave([this] { return tree_.end_object(); });
  }
  bool end_array() {
    return leave([this] { return tree_.end_array(); });
  }
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& error) {
    return tree_.parse_error(position, token, error);
  }

 private:
  template <typename Forward>
  bool scalar(Forward forward) {
    if (dropping_ > 0) return true;
    if (depth_ == 0) return forward();
    if (inArray_ || !kept(path())) return true;
    return tree_.key(key_) && forward();
  }
  bool start(std::size_t size, bool array) {
    if (dropping_ > 0) {
      ++dropping_;
      return true;
    }
    if (depth_ == 0)
      return enter(array ? tree_.start_array(size) : tree_.start_object(size), array);
    if (depth_ == 1 && !inArray_ && !array && leadsToKept(key_)) {
      parent_ = key_;
      return tree_.key(key_) && enter(tree_.start_object(size), false);
    }
    dropping_ = 1;
    // A kept member that is no scalar stays as null: present, and of no type that is read.
    if (!inArray_ && kept(path())) return tree_.key(key_) && tree_.null();
    return true;
  }
  // The path of the member whose value comes next.
  std::string path() const { return depth_ == 1 ? key_ : parent_ + "." + key_; }
  bool enter(bool ok, bool array) {
    ++depth_;
    inArray_ = array;
    return ok;
  }
  template <typename Forward>
  bool leave(Forward forward) {
    if (dropping_ > 0) {
      --dropping_;
      return true;
    }
    --depth_;
    inArray_ = false;
    return forward();
  }
  bool kept(std::string_view path) const {
    return std::find(keep_.begin(), keep_.end(), path) != keep_.end();
  }
  bool leadsToKept(std::string_view name) const {
    return std::any_of(keep_.begin(), keep_.end(), [&](std::string_view path) {
      return path.size() > name.size() && path.starts_with(name) && path[name.size()] == '.';
    });
  }

  WholeNumberTreeBuilder& tree_;
  std::span<const std::string_view> keep_;
  std::string key_;     // the key of the value to come
  std::string parent_;  // the key of the object at depth 2
  int depth_ = 0;       // of the kept containers
  int dropping_ = 0;    // the depth within a dropped container
  bool inArray_ = false;
};

}  // namespace

std::optional<Json> parseJson(std::string_view text) noexcept {
  try {
    // nlohmann's reader takes a NUL byte for the end of its input and would accept a valid prefix;
    // no JSON text holds a raw NUL (not as white space, not inside a string).
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (!isValidUtf8(text) || nestsDeeperThan(text, kMaxJsonDepth)) return std::nullopt;
    Json value;
    WholeNumberTreeBuilder builder(value, /*allow_exceptions_=*/false);
    if (!Json::sax_parse(text.begin(), text.end(), &builder) || builder.is_errored()) {
      return std::nullopt;
    }
    return value;
  } catch (...) {
    // Out-of-range numbers ("1e400") and allocation failures land here.
    return std::nullopt;
  }
}

std::optional<Json> parseJsonOutline(std::string_view text,
                                     std::span<const std::string_view> keep) noexcept {
  try {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (!isValidUtf8(text) || nestsDeeperThan(text, kMaxJsonDepth)) return std::nullopt;
    Json value;
    WholeNumberTreeBuilder tree(value, /*allow_exceptions_=*/false);
    OutlineBuilder outline(tree, keep);
    if (!Json::sax_parse(text.begin(), text.end(), &outline) || tree.is_errored()) {
      return std::nullopt;
    }
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

namespace {

// The value of the last top-level member named `key` of a JSON object text, exactly as written.
std::optional<std::string_view> memberValue(std::string_view object, std::string_view key) {
  std::optional<std::string_view> found;
  // The reader skips a UTF-8 byte order mark before the value; so does this.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::size_t i = skipSpace(object, object.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0);
  if (i >= object.size() || object[i] != '{') return found;
  for (i = skipSpace(object, i + 1); i < object.size() && object[i] == '"';) {
    const std::size_t keyEnd = skipString(object, i);
    const std::string_view rawKey = object.substr(i + 1, keyEnd - i - 2);
    bool matches = rawKey == key;
    if (!matches && rawKey.find('\\') != std::string_view::npos) {
      const std::optional<Json> decoded = parseJson(object.substr(i, keyEnd - i));
      matches = decoded && decoded->is_string() && decoded->get_ref<const std::string&>() == key;
    }
    const std::size_t valueStart = skipSpace(object, skipSpace(object, keyEnd) + 1);
    const std::size_t valueEnd = skipValue(object, valueStart);
    // The last one counts, as for the parsed object.
    if (matches) found = object.substr(valueStart, valueEnd - valueStart);
    i = skipSpace(object, valueEnd);
    if (i >= object.size() || object[i] != ',') break;
    i = skipSpace(object, i + 1);
  }
  return found;
}

}  // namespace

std::optional<std::string> memberText(std::string_view object, std::string_view key) {
  const std::optional<std::string_view> value = memberValue(object, key);
  if (!value) return std::nullopt;
  std::string text;
  for (std::size_t k = 0; k < value->size();) {
    if ((*value)[k] == '"') {
      const std::size_t end = skipString(*value, k);
      text.append(value->substr(k, end - k));
      k = end;
    } else {
      if (!isJsonSpace((*value)[k])) text.push_back((*value)[k]);
      ++k;
    }
  }
  return text;
}

bool hasMember(std::string_view object, std::string_view key) {
  return memberValue(object, key).has_value();
}

std::optional<std::string> clampHugeNumbers(std::string_view text) {
  std::optional<std::string> clamped;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      i = skipString(text, i);
      continue;
    }
    if (c != '-' && !isDigit(c)) {
      ++i;
      continue;
    }
    const std::size_t end = skipValue(text, i);
    const std::string token(text.substr(i, end - i));
    if (std::isinf(std::strtod(token.c_str(), nullptr))) {
      if (!clamped) clamped.emplace();
      clamped->append(text.substr(copied, i - copied));
      clamped->append(c == '-' ? "-1.7976931348623157e308" : "1.7976931348623157e308");
      copied = end;
    }
    i = end;
  }
  if (clamped) clamped->append(text.substr(copied));
  return clamped;
}

std::size_t parsedBytes(std::string_view text) noexcept {
  // The heap blocks of a parsed value, with the allocator's bookkeeping: every value's node, a
  // text's string and its characters (15 fit in the string itself), an array's vector, an
  // object's map and, per member, the tree node that holds the key.
  constexpr std::size_t kBlock = 2 * sizeof(void*);
  constexpr std::size_t kValue = sizeof(Json);
  constexpr std::size_t kText = kValue + kBlock + sizeof(std::string) + kBlock;
  constexpr std::size_t kArray = kValue + kBlock + sizeof(Json::array_t) + kBlock;
  constexpr std::size_t kObject = kValue + kBlock + sizeof(Json::object_t);
  constexpr std::size_t kMember = kBlock + 4 * sizeof(void*);
  std::size_t bytes = 0;
  bool inToken = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t end = skipString(text, i);
      bytes += kText + std::max<std::size_t>(end - i - 2, 15);
      i = end - 1;
      inToken = false;
      continue;
    }
    const bool tokenChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-' ||
                           c == '+' || c == '.' || c == 'E';
    if (tokenChar && !inToken) bytes += kValue;
    inToken = tokenChar;
    if (c == '[') bytes += kArray;
    if (c == '{') bytes += kObject;
    if (c == ':') bytes += kMember;
  }
  return bytes;
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
  // Escaped in place, from the back: a text that carries a large value is not held twice, and
  // usually the room for the few backslashes is spare capacity already.
  const auto slashes = static_cast<std::size_t>(std::count(text.begin(), text.end(), '/'));
  std::size_t read = text.size();
  text.resize(read + slashes);
  for (std::size_t write = text.size(); read != write;) {
    const char c = text[--read];
    text[--write] = c;
    if (c == '/') text[--write] = '\\';
  }
  return text;
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
  // A double: parseJson stores every whole number in range as an integer, so this one has a
  // fraction, lies out of range, or lost digits to rounding.
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
  return asStringMap(*value, key);
}

std::map<std::string, std::string> asStringMap(const Json& value, std::string_view key) {
  if (!value.is_object()) throwWrongType(key, "an object of strings");
  std::map<std::string, std::string> out;
  for (const auto& [name, element] : value.items()) {
    if (!element.is_string()) throwWrongType(key, "an object of strings");
    out.emplace_hint(out.end(), name, element.get<std::string>());
  }
  return out;
}

}  // namespace varn::support
