#include "support/Uuid.hpp"

#include <uuid/uuid.h>

#include <cstring>

#include "support/Ascii.hpp"

namespace varn::support {

Uuid Uuid::random() {
  uuid_t id;
  uuid_generate_random(id);
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), id, bytes.size());
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) noexcept {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexDigitValue(text[i]);
    int low = hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[out++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return Uuid(bytes);
}

std::string Uuid::toString() const {
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    appendHexUpper(text, bytes_[i]);
  }
  return text;
}

std::string randomUUID() {
  return Uuid::random().toString();
}

}  // namespace varn::support
