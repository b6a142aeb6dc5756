#include "crypto/otp/Base32.hpp"

#include <vector>

#include "crypto/otp/UnicodeText.hpp"

namespace varn::crypto {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

}  // namespace

std::string Base32::encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() * 8 + 4) / 5);
  std::uint32_t accumulator = 0;
  int pending = 0;
  for (std::uint8_t byte : bytes) {
    // Only the pending bits matter; older ones are masked away below.
    accumulator = (accumulator << 8) | byte;
    pending += 8;
    while (pending >= 5) {
      pending -= 5;
      out.push_back(kAlphabet[(accumulator >> pending) & 0x1f]);
    }
  }
  if (pending > 0) out.push_back(kAlphabet[(accumulator << (5 - pending)) & 0x1f]);
  return out;
}

std::string grouped(std::string_view text, std::int64_t size, std::string_view separator) {
  if (size <= 0 || text.empty()) return std::string(text);
  const std::vector<std::size_t> bounds = characterBoundaries(text);
  const std::size_t characters = bounds.size() - 1;
  const auto groupSize = static_cast<std::uint64_t>(size);
  std::string out;
  out.reserve(text.size() + (characters / groupSize) * separator.size());
  for (std::size_t start = 0; start < characters; start += groupSize) {
    const std::size_t end = groupSize >= characters - start ? characters : start + groupSize;
    if (start > 0) out.append(separator);
    out.append(text.substr(bounds[start], bounds[end] - bounds[start]));
  }
  return out;
}

}  // namespace varn::crypto
