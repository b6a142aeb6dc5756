#include "mcp/tools/Scrubber.hpp"

#include <cstring>
#include <memory>
#include <optional>

#include <re2/re2.h>

namespace varn::mcp {
namespace {

// The literal text that every match of a pattern begins with, and the index of its least common
// byte in ordinary text: the search for candidates runs memchr over that byte, which is much
// faster than the automaton, and the automaton only starts where the literal stands.
struct Literal {
  std::string_view text;
  std::size_t rare;
};

struct PatternText {
  const char* pattern;
  Literal prefix;
};

// The three patterns that RE2 applies as written, in order.
constexpr PatternText kPatterns[] = {
    {R"(sk-[A-Za-z0-9_-]{8,})", {"sk-", 1}},
    {R"(AKIA[0-9A-Z]{12,})", {"AKIA", 1}},
    {R"(eyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+)", {"eyJ", 2}},
};

// The fourth pattern, "-----BEGIN [A-Z ]+-----[\s\S]+?-----END [A-Z ]+-----", is applied through
// its two markers: a match starts at the first BEGIN marker and ends with the nearest END marker
// that begins at least one character after it. A marker's label is the longest run of [A-Z ]
// followed by "-----", so each marker is fixed by where it starts, and these are exactly the
// matches of the whole pattern. When no END marker follows a BEGIN marker, none follows any
// later one either, and the search stops: a backtracking search would instead retry at every
// later BEGIN, at a cost that grows with the square of the text's length.
constexpr PatternText kPemBegin = {R"(-----BEGIN [A-Z ]+-----)", {"-----BEGIN ", 7}};
constexpr PatternText kPemEnd = {R"(-----END [A-Z ]+-----)", {"-----END ", 8}};

struct Pattern {
  std::unique_ptr<const re2::RE2> expression;  // null when it did not compile
  Literal prefix;
};

struct CompiledPatterns {
  std::vector<Pattern> ordinary;
  Pattern pemBegin;
  Pattern pemEnd;
};

// Every pattern element is ASCII, and RE2's \s is ASCII too, so matching bytes as Latin-1 gives
// the same matches on UTF-8 text as matching characters would, with a smaller automaton; text
// that is not UTF-8 is matched byte by byte.
std::unique_ptr<const re2::RE2> compile(const char* pattern) {
  re2::RE2::Options options;
  options.set_log_errors(false);
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  auto compiled = std::make_unique<const re2::RE2>(pattern, options);
  if (!compiled->ok()) return nullptr;  // left out silently; all of them compile
  return compiled;
}

const CompiledPatterns& patterns() {
  static const CompiledPatterns compiled = [] {
    CompiledPatterns out;
    for (const PatternText& text : kPatterns) {
      if (auto expression = compile(text.pattern)) {
        out.ordinary.push_back(Pattern{std::move(expression), text.prefix});
      }
    }
    out.pemBegin = Pattern{compile(kPemBegin.pattern), kPemBegin.prefix};
    out.pemEnd = Pattern{compile(kPemEnd.pattern), kPemEnd.prefix};
    return out;
  }();
  return compiled;
}

// The first offset at or after `from` where the literal stands, or npos.
std::size_t findLiteral(std::string_view text, std::size_t from, Literal literal) {
  const char rareByte = literal.text[literal.rare];
  for (std::size_t at = from + literal.rare; at < text.size();) {
    const void* hit = std::memchr(text.data() + at, rareByte, text.size() - at);
    if (hit == nullptr) return std::string_view::npos;
    at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::size_t start = at - literal.rare;
    if (text.substr(start, literal.text.size()) == literal.text) return start;
    ++at;
  }
  return std::string_view::npos;
}

// The leftmost match of `pattern` in text[from, end), as [begin, end) offsets. No match can
// begin before the first place where its literal stands, so the automaton starts there.
std::optional<std::pair<std::size_t, std::size_t>> find(const Pattern& pattern,
                                                        std::string_view text, std::size_t from) {
  if (from > text.size()) return std::nullopt;
  std::size_t start = findLiteral(text, from, pattern.prefix);
  if (start == std::string_view::npos) return std::nullopt;
  re2::StringPiece match;
  if (!pattern.expression->Match(re2::StringPiece(text.data(), text.size()), start, text.size(),
                                 re2::RE2::UNANCHORED, &match, 1)) {
    return std::nullopt;
  }
  std::size_t begin = static_cast<std::size_t>(match.data() - text.data());
  return std::make_pair(begin, begin + match.size());
}

// Replaces every match that `next` finds in `text`, searching on after each one. The search only
// ever reads text from the end of the last match on, so while every match is at least as long as
// the mask the replacement is made in place, moving the kept text down; from the first shorter
// match on, the rest is built in `spare`, which then takes the place of `text`. A text of several
// MiB thus costs no new buffer in the common case.
template <typename FindNext>
void replaceAll(std::string& text, std::string& spare, FindNext next) {
  auto match = next(std::size_t{0});
  if (!match) return;
  const std::string_view mask = Scrubber::mask;
  std::size_t written = 0;  // in place: the end of the text already final
  std::size_t copied = 0;   // the end of the last match
  bool inPlace = true;
  while (match) {
    const std::size_t kept = match->first - copied;
    if (inPlace && match->second - match->first < mask.size()) {
      spare.assign(text, 0, written);
      spare.reserve(text.size() + mask.size());
      inPlace = false;
    }
    if (inPlace) {
      std::memmove(text.data() + written, text.data() + copied, kept);
      std::memcpy(text.data() + written + kept, mask.data(), mask.size());
      written += kept + mask.size();
    } else {
      spare.append(text, copied, kept);
      spare.append(mask);
    }
    copied = match->second;
    // No pattern matches the empty text, so the search always moves on.
    match = next(copied);
  }
  if (inPlace) {
    std::memmove(text.data() + written, text.data() + copied, text.size() - copied);
    text.resize(written + text.size() - copied);
  } else {
    spare.append(text, copied);
    text.swap(spare);
  }
}

void replaceLiteral(std::string& text, std::string& spare, std::string_view value) {
  replaceAll(text, spare,
             [&](std::size_t from) -> std::optional<std::pair<std::size_t, std::size_t>> {
               std::size_t found = text.find(value, from);
               if (found == std::string::npos) return std::nullopt;
               return std::make_pair(found, found + value.size());
             });
}

}  // namespace

std::string Scrubber::scrub(std::string_view text,
                            const std::vector<std::string>& injectedValues) const {
  const CompiledPatterns& compiled = patterns();
  std::string current(text);
  std::string spare;  // where a replacement that cannot be made in place is built
  for (const auto& value : injectedValues) {
    if (!value.empty()) replaceLiteral(current, spare, value);
  }
  for (const auto& pattern : compiled.ordinary) {
    replaceAll(current, spare, [&](std::size_t from) { return find(pattern, current, from); });
  }
  if (compiled.pemBegin.expression && compiled.pemEnd.expression) {
    auto nextBlock = [&](std::size_t from) -> std::optional<std::pair<std::size_t, std::size_t>> {
      auto begin = find(compiled.pemBegin, current, from);
      if (!begin) return std::nullopt;
      // At least one character between the markers.
      auto end = find(compiled.pemEnd, current, begin->second + 1);
      if (!end) return std::nullopt;
      return std::make_pair(begin->first, end->second);
    };
    replaceAll(current, spare, nextBlock);
  }
  return current;
}

}  // namespace varn::mcp
