#include "mcp/tools/Scrubber.hpp"

#include <memory>

#include <re2/re2.h>

namespace varn::mcp {
namespace {

// In this order. RE2 gives these patterns the same matches as a backtracking engine, but in
// linear time: with backtracking, a text full of unclosed BEGIN markers costs the square of its
// length in the last pattern.
constexpr const char* kPatterns[] = {
    R"(sk-[A-Za-z0-9_-]{8,})",
    R"(AKIA[0-9A-Z]{12,})",
    R"(eyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+)",
    R"(-----BEGIN [A-Z ]+-----[\s\S]+?-----END [A-Z ]+-----)",
};

using PatternList = std::vector<std::unique_ptr<const re2::RE2>>;

// Built once; a pattern that does not compile is left out silently (all four compile).
const PatternList& patterns() {
  static const PatternList list = [] {
    PatternList out;
    re2::RE2::Options options;
    options.set_log_errors(false);
    for (const char* text : kPatterns) {
      auto compiled = std::make_unique<const re2::RE2>(text, options);
      if (compiled->ok()) out.push_back(std::move(compiled));
    }
    return out;
  }();
  return list;
}

void replaceLiteral(std::string& text, std::string_view value) {
  std::size_t found = text.find(value);
  if (found == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (; found != std::string::npos; found = text.find(value, from)) {
    out.append(text, from, found - from);
    out.append(Scrubber::mask);
    from = found + value.size();
  }
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

}  // namespace

std::string Scrubber::scrub(std::string_view text,
                            const std::vector<std::string>& injectedValues) const {
  std::string out(text);
  for (const auto& value : injectedValues) {
    if (!value.empty()) replaceLiteral(out, value);
  }
  // The mask holds no "\", so the rewrite string is taken literally.
  const re2::StringPiece rewrite(mask.data(), mask.size());
  for (const auto& pattern : patterns()) re2::RE2::GlobalReplace(&out, *pattern, rewrite);
  return out;
}

}  // namespace varn::mcp
