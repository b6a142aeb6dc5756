#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varn::mcp {

// Masks secret-looking text in output that a tool returns to the agent: every literal occurrence
// of given injected values, then every match of four patterns of well-known credential formats
// ("sk-" API keys, "AKIA" access key ids, JSON Web Tokens, PEM blocks), each replaced by `mask`.
//
// A value with no state: all instances behave alike. The patterns are compiled once per process on
// first use (thread-safe) and used read-only afterwards, so scrub may run from any number of
// threads at once. Matching is linear in the text's length whatever the text holds.
class Scrubber final {
 public:
  // The text written over every masked part.
  static constexpr std::string_view mask = "[REDACTED]";

  // Returns `text` with, first, every occurrence of each non-empty injected value replaced by the
  // mask (case-sensitive, non-overlapping, left to right, one value after the other in the given
  // order), and then every match of each pattern replaced by the mask, pattern after pattern, each
  // working on the result of the one before. `text` is UTF-8. Never fails.
  [[nodiscard]] std::string scrub(std::string_view text,
                                  const std::vector<std::string>& injectedValues = {}) const;
};

}  // namespace varn::mcp
