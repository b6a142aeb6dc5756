#include "crypto/otp/RegistrableDomain.hpp"

#include <cstddef>
#include <functional>
#include <limits>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "crypto/otp/MultiLabelSuffixes.hpp"
#include "crypto/otp/UnicodeText.hpp"
#include "support/Ascii.hpp"
#include "support/Uri.hpp"
#include "support/Utf8.hpp"

namespace varn::crypto {
namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

static_assert(!kMultiLabelSuffixes.back().empty(), "every literal of the table is filled in");

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

using SuffixSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

const SuffixSet& suffixTable() {
  static std::once_flag once;
  static SuffixSet* table = nullptr;
  std::call_once(once, [] {
    // Never freed: the table lives as long as the process.
    auto* built = new SuffixSet(kMultiLabelSuffixes.size());
    for (std::string_view literal : kMultiLabelSuffixes) built->emplace(literal);
    table = built;
  });
  return *table;
}

std::string lowerHost(std::string_view text) {
  return isAscii(text) ? support::asciiLower(text) : lowercased(text);
}

// The first run of `text` without `separator`; a text of separators only stays unchanged.
std::string_view firstRun(std::string_view text, char separator) {
  const std::vector<std::string_view> pieces = splitCharacters(text, separator, 1);
  return pieces.empty() ? text : pieces.front();
}

// Four pieces of 0-255, or any ":".
bool isIPLiteral(std::string_view host) {
  if (findCharacter(host, ':') != std::string_view::npos) return true;
  const std::vector<std::string_view> pieces = splitCharacters(host, '.', kUnlimited);
  if (pieces.size() != 4) return false;
  for (std::string_view piece : pieces) {
    const std::optional<std::int64_t> value = support::parseDecimalInt64(piece);
    if (!value || *value < 0 || *value > 255) return false;
    // "-0" is zero; any other negative number is no octet.
    if (piece.front() == '-' && *value != 0) return false;
  }
  return true;
}

std::string joined(const std::vector<std::string_view>& labels, std::size_t count) {
  std::string out;
  for (std::size_t i = labels.size() - count; i < labels.size(); ++i) {
    if (!out.empty()) out.push_back('.');
    out.append(labels[i]);
  }
  return out;
}

}  // namespace

std::optional<std::string> RegistrableDomain::host(std::string_view from) {
  if (!support::isValidUtf8(from)) return std::nullopt;
  const std::string trimmed = support::trimWhitespace(from);
  if (trimmed.empty()) return std::nullopt;

  if (trimmed.find("://") != std::string::npos) {
    if (const std::optional<support::UriComponents> uri = support::parseUriReference(trimmed);
        uri && uri->host) {
      const std::optional<std::string> decoded = support::percentDecode(*uri->host);
      // A host whose escapes are not UTF-8 is no text: the bare-text rule takes over.
      if (decoded && support::isValidUtf8(*decoded)) return lowerHost(*decoded);
    }
  }

  const std::string_view bare = firstRun(firstRun(trimmed, '/'), ':');
  if (bare.empty()) return std::nullopt;
  return lowerHost(bare);
}

std::optional<std::string> RegistrableDomain::registrable(std::string_view from) {
  const std::optional<std::string> found = host(from);
  if (!found || *found == "localhost" || isIPLiteral(*found)) return std::nullopt;

  const std::vector<std::string_view> labels = splitCharacters(*found, '.', kUnlimited);
  const std::size_t n = labels.size();
  if (n < 2) return std::nullopt;
  if (n == 2) return joined(labels, 2);

  const SuffixSet& table = suffixTable();
  for (std::size_t k : {std::size_t{3}, std::size_t{2}}) {
    if (k >= n) continue;
    if (table.find(joined(labels, k)) != table.end()) return joined(labels, k + 1);
  }
  return joined(labels, 2);
}

bool RegistrableDomain::matches(std::string_view first, std::string_view second) {
  const std::optional<std::string> a = registrable(first);
  if (!a) return false;
  const std::optional<std::string> b = registrable(second);
  return b && *a == *b;
}

}  // namespace varn::crypto
