#include "crypto/vault/SecretBytes.hpp"

#include <sodium.h>

#include <algorithm>

namespace varn::crypto {

SecretBytes::SecretBytes(std::size_t size)
    : data_(size == 0 ? nullptr : new std::uint8_t[size]()), size_(size) {}

SecretBytes::SecretBytes(std::span<const std::uint8_t> bytes) : SecretBytes(bytes.size()) {
  std::copy(bytes.begin(), bytes.end(), data_.get());
}

SecretBytes SecretBytes::fromText(std::string_view text) {
  SecretBytes out(text.size());
  std::copy(text.begin(), text.end(), out.data_.get());
  return out;
}

SecretBytes::SecretBytes(const SecretBytes& other) : SecretBytes(other.span()) {}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    SecretBytes copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::move(other.data_)), size_(other.size_) {
  other.size_ = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    data_ = std::move(other.data_);
    size_ = other.size_;
    other.size_ = 0;
  }
  return *this;
}

SecretBytes::~SecretBytes() {
  wipe();
}

void SecretBytes::wipe() noexcept {
  if (data_) sodium_memzero(data_.get(), size_);
  data_.reset();
  size_ = 0;
}

void SecretBytes::truncate(std::size_t size) noexcept {
  if (size >= size_) return;
  sodium_memzero(data_.get() + size, size_ - size);
  size_ = size;
}

bool operator==(const SecretBytes& a, const SecretBytes& b) noexcept {
  if (a.size_ != b.size_) return false;
  if (a.size_ == 0) return true;
  return sodium_memcmp(a.data_.get(), b.data_.get(), a.size_) == 0;
}

}  // namespace varn::crypto
