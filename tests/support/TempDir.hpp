#pragma once

#include <string>

namespace varn::tests {

// A fresh folder under /tmp, named /tmp/vmXXXXXX so that paths inside it stay short (a socket path
// and a HOME whose default socket path must fit the 104-byte limit). Removed with everything in
// it when the owner goes. Not copyable.
class TempDir final {
 public:
  // Throws std::runtime_error when the folder cannot be made.
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's absolute path, without a trailing slash.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

  // `path() + "/" + name`.
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Makes the folder `name` inside (with parents) and returns its path. Throws on failure.
  std::string makeFolder(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace varn::tests
