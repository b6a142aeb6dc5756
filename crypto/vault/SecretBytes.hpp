#pragma once

// Byte buffers for key material. A SecretBytes owns a fixed-size heap block that is wiped
// (sodium_memzero) whenever its content is dropped: on destruction, on assignment of other bytes,
// on wipe(). It never reallocates, so no stale copy is left behind in freed memory; copies are
// explicit deep copies, each wiped in turn. Equality runs in constant time for equal sizes.
// Not thread-safe: one owner at a time, like any value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace varn::crypto {

// Plain (non-secret) bytes: public keys, salts, envelopes, signatures.
using Bytes = std::vector<std::uint8_t>;

class SecretBytes final {
 public:
  SecretBytes() noexcept = default;
  // `size` zero bytes.
  explicit SecretBytes(std::size_t size);
  // A copy of `bytes`.
  explicit SecretBytes(std::span<const std::uint8_t> bytes);
  // A copy of the bytes of `text` (a passphrase or code as typed, UTF-8).
  [[nodiscard]] static SecretBytes fromText(std::string_view text);

  SecretBytes(const SecretBytes& other);
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  [[nodiscard]] std::uint8_t* data() noexcept { return data_.get(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return data_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] std::span<const std::uint8_t> span() const noexcept { return {data_.get(), size_}; }
  [[nodiscard]] std::span<std::uint8_t> span() noexcept { return {data_.get(), size_}; }
  operator std::span<const std::uint8_t>() const noexcept { return span(); }  // NOLINT
  // The bytes as text, for a code or phrase that is shown to its user; valid while the content is.
  [[nodiscard]] std::string_view text() const noexcept {
    return {reinterpret_cast<const char*>(data_.get()), size_};
  }

  // Zeroes and releases the content; the buffer is empty afterwards.
  void wipe() noexcept;
  // Keeps the first `size` bytes (at most size()); the rest is zeroed in place.
  void truncate(std::size_t size) noexcept;

  // Same size and same content, compared in constant time for equal sizes.
  friend bool operator==(const SecretBytes& a, const SecretBytes& b) noexcept;

 private:
  std::unique_ptr<std::uint8_t[]> data_{};
  std::size_t size_ = 0;
};

}  // namespace varn::crypto
