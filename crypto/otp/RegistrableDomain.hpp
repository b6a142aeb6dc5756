#pragma once

// Hosts of URLs or host texts and their registrable domains (the public suffix plus one label),
// so that a credential bound to one host also serves the other hosts of its registrable domain.
// There is no public suffix list file: a built-in table of multi-label suffixes, otherwise the
// last label counts as the public suffix.

#include <optional>
#include <string>
#include <string_view>

namespace varn::crypto {

// Static operations only; pure and thread-safe (the suffix table is built once, on first use,
// safely against concurrent first calls). Nothing passed in is retained; nothing throws.
class RegistrableDomain final {
 public:
  RegistrableDomain() = delete;

  // The lower-cased host of `from`, trimmed of space separators and tabs (not line breaks):
  // for text containing "://" the host the strict URI parser finds, percent-decoded, even when
  // empty; otherwise (or when that parse fails or finds no host) the first run of text without
  // "/", then of that the first run without ":" (a text made only of separators stays as it is).
  // nullopt when the trimmed text is empty, or is not UTF-8.
  [[nodiscard]] static std::optional<std::string> host(std::string_view from);

  // The registrable domain of host(from) in lower case: two labels, or three or four when the
  // last two or three form a table entry (hosts of two labels are their own). nullopt for no host,
  // "localhost", an IP literal (four 0-255 pieces, or any ":") and fewer than two labels. Empty
  // labels (leading, trailing or doubled dots) are ignored.
  [[nodiscard]] static std::optional<std::string> registrable(std::string_view from);

  // True when both texts have a registrable domain and the two are equal.
  [[nodiscard]] static bool matches(std::string_view first, std::string_view second);
};

}  // namespace varn::crypto
