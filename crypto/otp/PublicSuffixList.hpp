#pragma once

// Registrable domains by the public suffix list installed with the system (libpsl over Debian's
// list, libpsl's built-in copy when that cannot be loaded), private section included. It knows the
// shared-hosting suffixes under which every customer is a tenant of its own (myproj.supabase.co),
// so it decides whether two hosts belong to the same owner.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn::crypto {

// Static operations only; thread-safe. The list is loaded once, on first use, safely against
// concurrent first calls, and kept for the life of the process. Nothing throws.
class PublicSuffixList final {
 public:
  PublicSuffixList() = delete;

  // The registrable domain of `host` (a bare host name, no scheme or port) in lower case: its
  // public suffix plus one label. nullopt when the host is itself a public suffix (supabase.co,
  // com), has no registrable part (localhost), is empty, or is not UTF-8.
  [[nodiscard]] static std::optional<std::string> registrableDomain(std::string_view host);

  // True only when both hosts have a registrable domain and the two are equal (case-insensitive).
  [[nodiscard]] static bool sameRegistrableDomain(std::string_view hostA, std::string_view hostB);

  // The zones of the list strictly below `domain` (a registrable domain in lower case) whose hosts
  // each have a registrable domain of their own, as the list's rules name them, lower-cased:
  // "zone" for a rule or an exception (the zone and every host under it), ".zone" for a wildcard
  // "*.zone" (every host under it). Read from the text of the list file libpsl loads (the ".dat"
  // beside Debian's compiled ".dafsa"); none when that cannot be read.
  [[nodiscard]] static std::vector<std::string> zonesBelow(std::string_view domain);
};

}  // namespace varn::crypto
