// The browser manager with Debian's Chromium: a real start, its DevTools pipe, its stop, and
// another manager's browser beside it.


#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "mcp/browser/BrowserManager.hpp"
#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/LoopbackPort.hpp"

namespace varn::mcp {
namespace {

namespace fs = std::filesystem;
using fakes::errorOf;
using fakes::ScopedEnv;
using fakes::ScratchFolder;
using support::Json;
using namespace std::chrono_literals;

bool processGone(std::int64_t pid) {
  return !fs::exists("/proc/" + std::to_string(pid));
}

Json readJson(const fs::path& file) {
  std::ifstream in(file);
  return Json::parse(in);
}

class BrowserManagerChromiumTest : public ::testing::Test {
 protected:
  BrowserManagerChromiumTest()
      : temp(fs::path(scratch.path()) / "tmp"),
        browserBin("VARN_BROWSER_BIN", fakes::writeChromiumWrapper(scratch.path())) {
    fs::create_directory(temp);
  }

  BrowserManager::Settings settings() const {
    BrowserManager::Settings s;
    s.tempFolder = temp;
    return s;
  }

  static std::int64_t browserPid(const fs::path& folder) {
    return readJson(folder / "varn-owner.json")["browser_pid"];
  }

  ScratchFolder scratch;
  fs::path temp;
  ScopedEnv browserBin;
};

TEST_F(BrowserManagerChromiumTest, StartsAnswersAndStopsLeavingNothingBehind) {
  BrowserManager manager(std::nullopt, settings());
  ASSERT_FALSE(manager.start(true));
  ASSERT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 1);
  const fs::path folder = fs::directory_iterator(temp)->path();
  const std::int64_t pid = browserPid(folder);

  Json targets = manager.connection()->send("Target.getTargets", Json::object(), std::nullopt, 10s);
  EXPECT_TRUE(targets["targetInfos"].is_array());
  // Chromium's own temporary folder is made in its TMPDIR, the profile.
  bool ownTemporaryFolder = false;
  for (const auto& entry : fs::directory_iterator(folder)) {
    ownTemporaryFolder |= entry.path().filename().string().starts_with("org.chromium.Chromium.");
  }
  EXPECT_TRUE(ownTemporaryFolder);

  manager.stop();
  EXPECT_FALSE(manager.isRunning());
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(processGone(pid));
}

TEST_F(BrowserManagerChromiumTest, AnotherManagersBrowserSurvivesAStartAndStopAndHoldsItsPort) {
  BrowserManager first(fakes::unusedLoopbackPort(), settings());
  ASSERT_FALSE(first.start(true));
  const fs::path firstFolder = fs::directory_iterator(temp)->path();

  BrowserManager second(std::nullopt, settings());
  ASSERT_FALSE(second.start(true));
  second.stop();

  // Same port as the running browser, which listens there: refused before anything is launched.
  BrowserManager samePort(first.port(), settings());
  EXPECT_EQ(
      errorOf([&] { samePort.start(true); }),
      "browser launch failure: CDP port :" + std::to_string(first.port()) + " is already in use");

  EXPECT_TRUE(first.isRunning());
  EXPECT_TRUE(fs::exists(firstFolder));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), 1);
  first.stop();
  EXPECT_FALSE(fs::exists(firstFolder));
}

}  // namespace
}  // namespace varn::mcp
