#include "mcp/secrets/VarnRef.hpp"

#include <utility>
#include <vector>

#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::mcp {

VarnRefError::VarnRefError(Case errorCase, std::string attribute)
    : case_(errorCase), attribute_(std::move(attribute)) {
  switch (case_) {
    case Case::invalidAttribute:
      description_ = "unknown ref attribute '" + attribute_ + "' \u2014 use type, value, or otp";
      break;
    case Case::invalidScheme:
      description_ = "ref must use the varn:// scheme, e.g. varn://local/GitHub/password";
      break;
    case Case::malformed:
      description_ =
          "ref must be varn://<collection>/<item>/<field>, e.g. varn://local/GitHub/password "
          "(secret_list shows every ref)";
      break;
  }
}

VarnRefError VarnRefError::invalidAttribute(std::string value) {
  return VarnRefError(Case::invalidAttribute, std::move(value));
}

VarnRefError VarnRefError::invalidScheme() {
  return VarnRefError(Case::invalidScheme, {});
}

VarnRefError VarnRefError::malformed() {
  return VarnRefError(Case::malformed, {});
}

std::string_view toString(VarnRef::Attribute attribute) noexcept {
  switch (attribute) {
    case VarnRef::Attribute::type:
      return "type";
    case VarnRef::Attribute::value:
      return "value";
    case VarnRef::Attribute::otp:
      return "otp";
  }
  return "value";
}

template <>
std::optional<VarnRef::Attribute> fromString<VarnRef::Attribute>(std::string_view text) noexcept {
  if (text == "type") return VarnRef::Attribute::type;
  if (text == "value") return VarnRef::Attribute::value;
  if (text == "otp") return VarnRef::Attribute::otp;
  return std::nullopt;
}

namespace {

// The characters a query may hold unescaped, plus "%" (existing escapes pass through), "#" (it
// still opens a fragment) and the brackets. ASCII letters, digits and "-._~" are always kept.
constexpr std::string_view kRetryAllowed = "!$&'()*+,;=:@/?%#[]";

// The text as URI components: as written when it is a URI reference, otherwise once more with the
// characters a URI may not hold raw (blanks, for one) percent-encoded.
support::UriComponents readUri(std::string_view text) {
  if (std::optional<support::UriComponents> parsed = support::parseUriReference(text)) {
    return *std::move(parsed);
  }
  if (!support::isValidUtf8(text)) throw VarnRefError::invalidScheme();
  std::optional<support::UriComponents> retried =
      support::parseUriReference(support::percentEncode(text, kRetryAllowed));
  if (!retried) throw VarnRefError::invalidScheme();
  return *std::move(retried);
}

// A component percent-decoded; it must decode to UTF-8 text.
std::string decodeText(std::string_view raw) {
  std::optional<std::string> decoded = support::percentDecode(raw);
  if (!decoded || !support::isValidUtf8(*decoded)) throw VarnRefError::malformed();
  return *std::move(decoded);
}

struct Located {
  std::string collection;
  std::vector<std::string> segments;
  std::optional<std::string> query;  // raw
};

// The checks both parsers share, in their order: scheme, host, path.
Located locate(std::string_view text) {
  support::UriComponents uri = readUri(text);
  if (!uri.scheme || *uri.scheme != "varn") throw VarnRefError::invalidScheme();
  if (!uri.host || uri.host->empty()) throw VarnRefError::malformed();
  Located located{decodeText(*uri.host), {}, std::move(uri.query)};
  const std::string path = decodeText(uri.path);
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) located.segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return located;
}

// The first query item named "attribute" decides; none (or no query) means value.
VarnRef::Attribute readAttribute(const std::optional<std::string>& query) {
  if (!query) return VarnRef::Attribute::value;
  const std::vector<support::QueryItem> items = support::queryItems(*query);
  for (const support::QueryItem& item : items) {
    if (!support::isValidUtf8(item.name) || (item.value && !support::isValidUtf8(*item.value))) {
      throw VarnRefError::malformed();
    }
  }
  for (const support::QueryItem& item : items) {
    if (item.name != "attribute") continue;
    if (item.value) {
      if (std::optional<VarnRef::Attribute> attribute =
              fromString<VarnRef::Attribute>(*item.value)) {
        return *attribute;
      }
    }
    throw VarnRefError::invalidAttribute(item.value.value_or(""));
  }
  return VarnRef::Attribute::value;
}

}  // namespace

VarnRef VarnRef::parse(std::string_view text) {
  Located located = locate(text);
  if (located.segments.size() != 2) throw VarnRefError::malformed();
  const Attribute attribute = readAttribute(located.query);
  return VarnRef{std::move(located.collection), std::move(located.segments[0]),
                 std::move(located.segments[1]), attribute, std::string(text)};
}

VarnRef::ItemRef VarnRef::parseItemRef(std::string_view text) {
  Located located = locate(text);
  if (located.segments.empty() || located.segments.size() > 2) throw VarnRefError::malformed();
  ItemRef ref{std::move(located.collection), std::move(located.segments[0]), std::nullopt};
  if (located.segments.size() == 2) ref.field = std::move(located.segments[1]);
  return ref;
}

}  // namespace varn::mcp
