#pragma once

// Secret references: "varn://<collection>/<item>/<field>", optionally with the query item
// "attribute" set to "type", "value" or "otp". Callers parse a reference to decide whether it is
// acceptable and hand the unchanged text on to the vault, which interprets it.

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace varn::mcp {

// Why a text is not an acceptable reference. what() is the user-facing message shown after
// "error: "; the payload of invalidAttribute is inserted unchanged.
class VarnRefError : public std::exception {
 public:
  enum class Case { invalidAttribute, invalidScheme, malformed };

  // "unknown ref attribute '<value>' — use type, value, or otp"; `value` is empty when the
  // attribute item had no value.
  static VarnRefError invalidAttribute(std::string value);
  // "ref must use the varn:// scheme, e.g. varn://local/GitHub/password"
  static VarnRefError invalidScheme();
  // "ref must be varn://<collection>/<item>/<field>, e.g. varn://local/GitHub/password
  // (secret_list shows every ref)"
  static VarnRefError malformed();

  Case errorCase() const noexcept { return case_; }
  // The rejected attribute value of invalidAttribute; empty for the other cases.
  const std::string& attribute() const noexcept { return attribute_; }
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const VarnRefError& other) const noexcept {
    return case_ == other.case_ && attribute_ == other.attribute_;
  }

 private:
  VarnRefError(Case errorCase, std::string attribute);

  Case case_;
  std::string attribute_;
  std::string description_;
};

// A parsed field reference. A plain value; copies are independent.
struct VarnRef {
  // The facet of the field a reference asks for.
  enum class Attribute { type, value, otp };

  // A reference to a whole item, with or without a field.
  struct ItemRef {
    std::string collection;
    std::string item;
    std::optional<std::string> field;

    bool operator==(const ItemRef&) const = default;
  };

  std::string collection;  // the host, percent-decoded; never empty
  std::string item;        // first path segment, percent-decoded
  std::string field;       // second path segment, percent-decoded
  Attribute attribute = Attribute::value;
  std::string raw;  // the text that was parsed, unchanged

  bool operator==(const VarnRef&) const = default;

  // Parses a field reference "varn://<collection>/<item>/<field>[?attribute=...]". Empty path
  // segments are ignored; user information, port and fragment are ignored. Throws VarnRefError,
  // checking in this order: invalidScheme (no URI even after escaping stray characters, or a scheme
  // other than exactly "varn"), malformed (empty host, not exactly two path segments, or a host,
  // path or query that does not decode to UTF-8), invalidAttribute (the first "attribute" item is
  // not one of the three texts). Pure; thread-safe.
  [[nodiscard]] static VarnRef parse(std::string_view text);

  // Parses a reference to an item, "varn://<collection>/<item>", or to a field of it. The query is
  // not examined. Throws VarnRefError: invalidScheme as for parse, malformed for an empty host or
  // for no or more than two path segments. Pure; thread-safe.
  [[nodiscard]] static ItemRef parseItemRef(std::string_view text);
};

// The closed value sets read from their exact texts (also declared, and specialised for the vault's
// sets, in mcp/secrets/VaultWire.hpp).
template <typename E>
[[nodiscard]] std::optional<E> fromString(std::string_view text) noexcept;

// "type", "value", "otp".
[[nodiscard]] std::string_view toString(VarnRef::Attribute attribute) noexcept;
// Exactly "type", "value" or "otp" (case-sensitive, nothing trimmed); nullopt otherwise.
template <>
[[nodiscard]] std::optional<VarnRef::Attribute> fromString<VarnRef::Attribute>(
    std::string_view text) noexcept;

}  // namespace varn::mcp
