#pragma once

// Per-user folders and "~" expansion.

#include <string>
#include <string_view>

namespace varn::support {

// The current user's home folder: $HOME when set and non-empty, else the password database entry
// of the real user id; "/" when neither is known.
[[nodiscard]] std::string homeFolder();

// Expands a leading "~" (alone or before "/") to the current user's home folder and a leading
// "~name" to that user's home folder. A path without a leading tilde, or naming an unknown user,
// is returned unchanged.
[[nodiscard]] std::string expandTilde(std::string_view path);

// True when a file-system entry of any kind (a socket included) exists at `path`; a symbolic link
// counts by what it points to.
[[nodiscard]] bool pathExists(const std::string& path) noexcept;

}  // namespace varn::support
