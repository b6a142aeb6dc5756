#include "support/Paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace varn::support {
namespace {

template <typename Lookup>
std::optional<std::string> passwdHome(Lookup lookup) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (true) {
    int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

}  // namespace

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  auto fromPasswd = passwdHome([](passwd* entry, char* buf, std::size_t size, passwd** found) {
    return getpwuid_r(getuid(), entry, buf, size, found);
  });
  return fromPasswd.value_or("/");
}

std::string expandTilde(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  std::size_t slash = path.find('/');
  std::string_view user = path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
  std::string_view rest = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  if (user.empty()) {
    std::string home = homeFolder();
    if (!rest.empty() && !home.empty() && home.back() == '/') home.pop_back();
    return home + std::string(rest);
  }
  std::string name(user);
  auto home = passwdHome([&name](passwd* entry, char* buf, std::size_t size, passwd** found) {
    return getpwnam_r(name.c_str(), entry, buf, size, found);
  });
  if (!home) return std::string(path);
  return *home + std::string(rest);
}

bool pathExists(const std::string& path) noexcept {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

}  // namespace varn::support
