#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/browser/BrowserController.hpp"

namespace varn::mcp {

// The rule that decides whether a page may receive a stored credential: the page's origin (or the
// address about to be opened) must lie within the item's binding, its login address or its
// allowed hosts. Static operations only; pure and thread-safe.
class OriginLock final {
 public:
  OriginLock() = delete;

  // Checks `target` (a frame origin, or a start address) against the item's stored `itemURL` and
  // `allowedHosts` as the vault's preview reported them; `ref` only goes into the error.
  //
  // Passes when the target is an http or https URL or origin with a host, is not http while the
  // item's address is https, and either has the registrable domain of the item's address, or
  // equals an allowed host exactly, or has the registrable domain of an allowed host. Registrable
  // domains count as equal only when the built-in table and the system's public suffix list both
  // say so, so that tenants of one hosting suffix do not unlock each other.
  //
  // Throws BrowserError::itemHasNoURL(ref) when the item has neither an address nor an allowed
  // host (blanks do not count), else BrowserError::originMismatch(lockedTo, target), where
  // lockedTo is the trimmed address, or without one the cleaned allowed hosts joined by ", ".
  static void check(std::string_view target, const std::optional<std::string>& itemURL,
                    const std::optional<std::vector<std::string>>& allowedHosts,
                    std::string_view ref);

  // The binding of check() in the terms of FillBinding, for a page to judge addresses by: the
  // item's https rule; the cleaned allowed hosts, each exact; and as sites the registrable domain
  // of the item's address and of each allowed host, where the built-in table and the public suffix
  // list both give one (the narrower of the two, the one both agree on), with the zones of the list
  // below it. An address passes FillBinding's test when it passes check(), and fails it when it
  // fails check() (a zone the list file lacks aside).
  [[nodiscard]] static FillBinding binding(
      const std::optional<std::string>& itemURL,
      const std::optional<std::vector<std::string>>& allowedHosts);

  // The text that names what the item is locked to in an error: its trimmed address, or without
  // one its cleaned allowed hosts joined by ", " ("" when it has neither).
  [[nodiscard]] static std::string lockedTo(
      const std::optional<std::string>& itemURL,
      const std::optional<std::vector<std::string>>& allowedHosts);
};

}  // namespace varn::mcp
