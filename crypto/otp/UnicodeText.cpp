#include "crypto/otp/UnicodeText.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <limits>
#include <memory>
#include <stdexcept>

namespace varn::crypto {
namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("text too long for Unicode processing");
  }
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// A character of `text` starting at `begin` and ending at `end` is the separator byte alone.
bool isSeparatorAt(std::string_view text, std::size_t begin, std::size_t end, char separator) {
  return end == begin + 1 && text[begin] == separator;
}

}  // namespace

bool isAscii(std::string_view text) noexcept {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string uppercased(std::string_view text) {
  icu::UnicodeString u = fromUtf8(text);
  u.toUpper(icu::Locale::getRoot());
  return toUtf8(u);
}

std::string lowercased(std::string_view text) {
  icu::UnicodeString u = fromUtf8(text);
  u.toLower(icu::Locale::getRoot());
  return toUtf8(u);
}

std::string composedNFC(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode normalisation data unavailable");
  icu::UnicodeString out = nfc->normalize(fromUtf8(text), status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode normalisation failed");
  return toUtf8(out);
}

std::vector<std::size_t> characterBoundaries(std::string_view text) {
  std::vector<std::size_t> boundaries{0};
  if (text.empty()) return boundaries;
  if (isAscii(text)) {
    // In ASCII only CR LF forms a character of two code points.
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      boundaries.push_back(i + 1);
    }
    return boundaries;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status),
      &utext_close);
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !characters) {
    throw std::runtime_error("Unicode character boundaries unavailable");
  }
  characters->setText(utext.get(), status);
  if (U_FAILURE(status)) throw std::runtime_error("Unicode character boundaries unavailable");
  // Over UTF-8 text the iterator's positions are byte offsets.
  for (int32_t at = characters->next(); at != icu::BreakIterator::DONE; at = characters->next()) {
    boundaries.push_back(static_cast<std::size_t>(at));
  }
  return boundaries;
}

std::vector<std::string_view> splitCharacters(std::string_view text, char separator,
                                              std::size_t maxSplits) {
  std::vector<std::string_view> pieces;
  if (text.empty()) return pieces;
  if (maxSplits == 0) {
    pieces.push_back(text);
    return pieces;
  }
  std::vector<std::size_t> bounds;
  if (isAscii(text) && separator != '\r' && separator != '\n') {
    // Every ASCII byte is a character of its own, except inside CR LF, which holds no separator.
    bounds.resize(text.size() + 1);
    for (std::size_t i = 0; i <= text.size(); ++i) bounds[i] = i;
  } else {
    bounds = characterBoundaries(text);
  }
  std::size_t pieceStart = 0;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    if (!isSeparatorAt(text, bounds[i], bounds[i + 1], separator)) continue;
    const bool appended = bounds[i] > pieceStart;
    if (appended) pieces.push_back(text.substr(pieceStart, bounds[i] - pieceStart));
    pieceStart = bounds[i + 1];
    if (appended && pieces.size() == maxSplits) break;
  }
  if (pieceStart < text.size()) pieces.push_back(text.substr(pieceStart));
  return pieces;
}

std::size_t findCharacter(std::string_view text, char separator) {
  const std::size_t first = text.find(separator);
  if (first == std::string_view::npos) return first;
  if (isAscii(text) && separator != '\r' && separator != '\n') return first;
  const std::vector<std::size_t> bounds = characterBoundaries(text);
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    if (isSeparatorAt(text, bounds[i], bounds[i + 1], separator)) return bounds[i];
  }
  return std::string_view::npos;
}

}  // namespace varn::crypto
