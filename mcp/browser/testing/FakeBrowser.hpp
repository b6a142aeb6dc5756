#pragma once

// Browser executables for tests: the fake browser script and a wrapper around Debian's Chromium,
// plus the scratch folder and environment switches they are driven by.

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "support/Json.hpp"

namespace varn::mcp::fakes {

// The fake browser script (mcp/browser/testing/fake-browser.py; its header lists the modes set by
// FAKE_BROWSER_MODE). Each launch appends one JSON line to FAKE_BROWSER_RECORD: "pid", "args",
// "env", "cwd", "fds", "stdio", "masks" ({"SigBlk", "SigIgn"}), "pdeathsig".
[[nodiscard]] std::string fakeBrowserPath();

// The launches recorded in `recordFile`, oldest first; none when it does not exist.
[[nodiscard]] std::vector<support::Json> fakeBrowserLaunches(const std::string& recordFile);

// Debian's Chromium.
inline constexpr const char* kChromium = "/usr/bin/chromium";

// Writes `<folder>/chromium` that execs Debian's Chromium with "--no-sandbox" (which it needs as
// root) before the arguments it is given, and returns its path.
std::string writeChromiumWrapper(const std::string& folder);

// The what() of whatever `call` throws; "" when it returns.
template <typename Call>
[[nodiscard]] std::string errorOf(Call&& call) {
  try {
    call();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

// A fresh folder in the temporary folder, deleted with its contents on destruction.
class ScratchFolder final {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullopt unsets) an environment variable until destruction, then restores it.
// Only for a test's own thread, before it starts others.
class ScopedEnv final {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace varn::mcp::fakes
