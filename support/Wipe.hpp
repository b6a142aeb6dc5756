#pragma once

// Wiping copies of secret values before their memory is given back.

#include <string>

namespace varn::support {

// Overwrites every byte the string owns, its spare capacity included, then empties it. Never
// reallocates.
void wipe(std::string& text) noexcept;

// Wipes a string when the scope ends, on every path out of it.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& text) noexcept : text_(text) {}
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;
  ~WipedOnExit() { wipe(text_); }

 private:
  std::string& text_;
};

}  // namespace varn::support
