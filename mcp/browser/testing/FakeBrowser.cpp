#include "mcp/browser/testing/FakeBrowser.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace varn::mcp::fakes {

std::string fakeBrowserPath() {
  return std::string(VARN_SOURCE_DIR) + "/mcp/browser/testing/fake-browser.py";
}

std::vector<support::Json> fakeBrowserLaunches(const std::string& recordFile) {
  std::vector<support::Json> launches;
  std::ifstream in(recordFile);
  for (std::string line; std::getline(in, line);) {
    launches.push_back(support::parseJson(line).value_or(support::Json()));
  }
  return launches;
}

std::string writeChromiumWrapper(const std::string& folder) {
  const std::string path = folder + "/chromium";
  std::ofstream(path) << "#!/bin/sh\nexec " << kChromium << " --no-sandbox \"$@\"\n";
  if (::chmod(path.c_str(), 0700) != 0) throw std::runtime_error("chmod failed");
  return path;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "browser-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace varn::mcp::fakes
