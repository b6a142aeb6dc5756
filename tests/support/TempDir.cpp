#include "tests/support/TempDir.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace varn::tests {

TempDir::TempDir() {
  char pattern[] = "/tmp/vmXXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  // Best effort: a folder left behind must not turn a passing test into a crash.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::makeFolder(const std::string& name) const {
  std::string folder = file(name);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace varn::tests
