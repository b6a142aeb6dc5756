#include "mcp/browser/BrowserManager.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CDPConnection.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/browser/testing/FakeBrowser.hpp"
#include "mcp/browser/testing/LoopbackPort.hpp"

namespace varn::mcp {
namespace {

namespace fs = std::filesystem;
using fakes::errorOf;
using fakes::fakeBrowserLaunches;
using fakes::ScopedEnv;
using fakes::ScratchFolder;
using support::Json;
using namespace std::chrono_literals;

// Waits, without a fixed sleep, until `done` holds or ten seconds pass.
template <typename Condition>
bool eventually(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

bool processGone(std::int64_t pid) {
  return !fs::exists("/proc/" + std::to_string(pid));
}

Json readJson(const fs::path& file) {
  std::ifstream in(file);
  return Json::parse(in);
}

void writeJson(const fs::path& file, const Json& json) {
  std::ofstream(file) << json.dump();
}

class BrowserManagerTest : public ::testing::Test {
 protected:
  BrowserManagerTest()
      : temp(fs::path(scratch.path()) / "tmp"),
        record(scratch.file("launches")),
        browserBin("VARN_BROWSER_BIN", fakes::fakeBrowserPath()),
        recordEnv("FAKE_BROWSER_RECORD", record),
        modeEnv("FAKE_BROWSER_MODE", std::nullopt),
        termEnv("FAKE_BROWSER_IGNORE_TERM", std::nullopt),
        markerEnv("VARN_TEST_MARKER", "inherited") {
    fs::create_directory(temp);
  }

  BrowserManager::Settings settings() const {
    BrowserManager::Settings s;
    s.tempFolder = temp;
    s.executables = {};
    // A ready browser ends the wait at once; the budget only has to outlast a slow start of the
    // fake browser script on a loaded machine.
    s.readyTimeout = 30s;
    return s;
  }

  std::vector<fs::path> profiles() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(temp)) {
      if (entry.path().filename().string().rfind("varn-browser-", 0) == 0) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  std::vector<Json> launches() const { return fakeBrowserLaunches(record); }

  ScratchFolder scratch;
  fs::path temp;
  std::string record;
  ScopedEnv browserBin, recordEnv, modeEnv, termEnv, markerEnv;
  std::optional<std::int64_t> port;
};

TEST_F(BrowserManagerTest, StartsOnceWithItsArgumentsAPrivateProfileAndACleanChildSetup) {
  BrowserManager manager(port, settings());
  EXPECT_EQ(manager.port(), 0);
  EXPECT_FALSE(manager.isRunning());
  EXPECT_FALSE(manager.start(false));
  EXPECT_TRUE(manager.isRunning());

  ASSERT_EQ(profiles().size(), 1u);
  const fs::path folder = profiles()[0];
  EXPECT_TRUE(std::regex_match(
      folder.filename().string(),
      std::regex("varn-browser-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
  EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);

  ASSERT_EQ(launches().size(), 1u);
  const Json launch = launches()[0];
  EXPECT_EQ(launch["args"],
            Json::array(
                {"--remote-debugging-pipe", "--user-data-dir=" + folder.string(), "--no-first-run",
                 "--no-default-browser-check", "--disable-background-networking", "--disable-sync",
                 "--disable-default-apps", "--metrics-recording-only", "--disable-extensions",
                 "--disable-component-extensions-with-background-pages",
                 "--disable-features=Translate,MediaRouter,OptimizationHints,"
                 "WebUIOmniboxPopup,WebUIOmniboxAimPopup",
                 "--password-store=basic"}));
  EXPECT_EQ(launch["env"]["VARN_TEST_MARKER"], "inherited");
  EXPECT_EQ(launch["env"]["TMPDIR"], ".");
  // Whatever it writes under a home goes with the profile.
  const std::string home = (folder / "home").string();
  EXPECT_EQ(launch["env"]["HOME"], home);
  EXPECT_EQ(launch["env"]["XDG_CONFIG_HOME"], home + "/.config");
  EXPECT_EQ(launch["env"]["XDG_CACHE_HOME"], home + "/.cache");
  EXPECT_EQ(launch["env"]["XDG_DATA_HOME"], home + "/.local/share");
  EXPECT_EQ(launch["env"]["XDG_STATE_HOME"], home + "/.local/state");
  EXPECT_EQ(fs::status(home).permissions(), fs::perms::owner_all);
  EXPECT_EQ(launch["cwd"], folder.string());
  // The pipe on 3 and 4 and nothing else; killed when the server dies.
  EXPECT_EQ(launch["fds"], Json::array({0, 1, 2, 3, 4}));
  EXPECT_EQ(launch["stdio"], Json::array({"/dev/null", "/dev/null", "/dev/null"}));
  EXPECT_EQ(launch["pdeathsig"], SIGKILL);
  EXPECT_EQ(launch["masks"]["SigBlk"], 0);
  const std::uint64_t ignored = launch["masks"]["SigIgn"];
  for (int signal : {SIGINT, SIGTERM, SIGCHLD}) {
    EXPECT_EQ(ignored & (std::uint64_t{1} << (signal - 1)), 0u) << signal;
  }

  const Json owner = readJson(folder / "varn-owner.json");
  EXPECT_EQ(owner["server_pid"], ::getpid());
  EXPECT_EQ(owner["browser_pid"], launch["pid"]);
  // Browser.getVersion was the readiness probe; the pipe serves the next command too.
  EXPECT_EQ(manager.connection()->send("Target.getTargets"), Json::object());

  // Running: nothing happens, headless or not.
  EXPECT_TRUE(manager.start(true));
  EXPECT_EQ(launches().size(), 1u);
  EXPECT_EQ(profiles(), std::vector<fs::path>{folder});

  manager.stop();
  EXPECT_FALSE(manager.isRunning());
  EXPECT_TRUE(profiles().empty());
  EXPECT_TRUE(processGone(launch["pid"]));
  EXPECT_EQ(errorOf([&] { (void)manager.connection(); }),
            "browser (CDP) failure: connection closed");
  manager.stop();  // again: nothing to do

  // With a port asked for, the browser also listens there.
  BrowserManager withPort(fakes::unusedLoopbackPort(), settings());
  EXPECT_FALSE(withPort.start(true));
  ASSERT_EQ(launches().size(), 2u);
  const Json args = launches()[1]["args"];
  ASSERT_EQ(args.size(), 15u);
  EXPECT_EQ(args[1], "--remote-debugging-port=" + std::to_string(withPort.port()));
  EXPECT_EQ(args[2], "--remote-debugging-address=127.0.0.1");
  EXPECT_EQ(args.back(), "--headless=new");
}

// The parent-death signal comes when the thread that started the browser ends: the browser is
// started from the manager's own thread, so the calling thread may end.
TEST_F(BrowserManagerTest, TheBrowserOutlivesTheThreadThatAskedForIt) {
  BrowserManager manager(port, settings());
  std::thread([&] { EXPECT_FALSE(manager.start(true)); }).join();
  // Killed at the thread's end, it could not answer a command sent after it.
  EXPECT_EQ(manager.connection()->send("Target.getTargets"), Json::object());
  EXPECT_TRUE(manager.isRunning());
}

TEST_F(BrowserManagerTest, FindsTheExecutableFromTheEnvironmentThenTheTable) {
  const std::string plainFile = scratch.file("not-executable");
  std::ofstream(plainFile) << "#!/bin/sh\n";
  auto table = settings();
  table.executables = {"/nonexistent/chrome", plainFile, scratch.path(), fakes::fakeBrowserPath()};
  for (const char* chosen : {"/nonexistent/browser", "", plainFile.c_str()}) {
    ScopedEnv env("VARN_BROWSER_BIN", std::string(chosen));
    BrowserManager manager(port, table);
    EXPECT_FALSE(manager.start(true)) << chosen;
    EXPECT_EQ(launches().back()["pid"].is_number(), true);
  }
  EXPECT_EQ(launches().size(), 3u);

  // Nothing executable anywhere: fails before anything is swept or made.
  fs::create_directory(temp / "varn-browser-old");
  ::utimbuf longAgo{0, 0};
  ASSERT_EQ(::utime((temp / "varn-browser-old").c_str(), &longAgo), 0);
  ScopedEnv env("VARN_BROWSER_BIN", std::nullopt);
  table.executables.pop_back();
  BrowserManager manager(port, table);
  EXPECT_EQ(errorOf([&] { manager.start(false); }),
            "browser launch failure: no Chromium-family browser found; set VARN_BROWSER_BIN");
  EXPECT_EQ(profiles(), std::vector<fs::path>{temp / "varn-browser-old"});
}

TEST_F(BrowserManagerTest, ABrowserThatExitsOrNeverAnswersIsStoppedAndItsFolderDeleted) {
  // The mode of the fake, its time to answer, the tool call's budget, the error.
  const std::tuple<const char*, std::chrono::milliseconds, std::chrono::milliseconds, std::string>
      cases[] = {
          // The exit is seen at once, whatever the wait.
          {"exit", 1h, 24h,
           "browser launch failure: browser exited during start with exit status 3"},
          {"silent", 200ms, 24h, "browser launch failure: CDP pipe did not become ready"},
          // A call with nothing left of its budget does not wait for the browser at all.
          {"silent", 24h, 0ms, "browser launch failure: CDP pipe did not become ready"},
      };
  for (const auto& [mode, readyTimeout, budget, error] : cases) {
    ScopedEnv env("FAKE_BROWSER_MODE", std::string(mode));
    auto s = settings();
    s.readyTimeout = readyTimeout;
    BrowserManager manager(port, s);
    {
      const CallBudget call(budget);
      EXPECT_EQ(errorOf([&] { manager.start(false); }), error) << mode;
    }
    EXPECT_FALSE(manager.isRunning());
    EXPECT_TRUE(profiles().empty());
    ASSERT_FALSE(launches().empty());
    EXPECT_TRUE(processGone(launches().back()["pid"]));
  }
}

TEST_F(BrowserManagerTest, ABrowserIgnoringSIGTERMIsKilledAfterTheGrace) {
  ScopedEnv env("FAKE_BROWSER_IGNORE_TERM", "1");
  auto s = settings();
  s.stopGrace = 100ms;
  BrowserManager manager(port, s);
  ASSERT_FALSE(manager.start(true));
  manager.stop();
  EXPECT_FALSE(manager.isRunning());
  EXPECT_TRUE(profiles().empty());
  EXPECT_TRUE(processGone(launches()[0]["pid"]));
}

TEST_F(BrowserManagerTest, RefusesAnInvalidOrTakenPort) {
  for (std::int64_t bad : {0, -1, 65536}) {
    BrowserManager manager(bad, settings());
    EXPECT_EQ(errorOf([&] { manager.start(true); }),
              "browser launch failure: CDP port :" + std::to_string(bad) + " is not a valid port");
  }
  fakes::SilentListener taken;
  BrowserManager manager(taken.port(), settings());
  EXPECT_EQ(
      errorOf([&] { manager.start(true); }),
      "browser launch failure: CDP port :" + std::to_string(taken.port()) + " is already in use");
  EXPECT_TRUE(launches().empty());
  EXPECT_TRUE(profiles().empty());

  // Taken after that check, before the browser's own bind: the browser (listening elsewhere) is
  // stopped and the start fails the same way.
  const std::int64_t late = fakes::unusedLoopbackPort();
  fakes::PortImpostorWrapper impostor(scratch.path(), late, fakes::fakeBrowserPath());
  ScopedEnv viaImpostor("VARN_BROWSER_BIN", impostor.path());
  BrowserManager raced(late, settings());
  EXPECT_EQ(errorOf([&] { raced.start(true); }),
            "browser launch failure: CDP port :" + std::to_string(late) + " is already in use");
  EXPECT_TRUE(impostor.ran());
  ASSERT_EQ(launches().size(), 1u);
  EXPECT_TRUE(processGone(launches()[0]["pid"]));
  EXPECT_FALSE(raced.isRunning());
  EXPECT_TRUE(profiles().empty());
  EXPECT_EQ(impostor.received(), "");
}

// The idle window counts an operator's DevTools client on the port as use.
TEST_F(BrowserManagerTest, AClientConnectedToTheAskedForPortIsSeen) {
  fakes::SilentListener browserPort;
  BrowserManager withPort(browserPort.port(), settings());
  EXPECT_FALSE(withPort.portClientConnected());
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(browserPort.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(withPort.portClientConnected());
  EXPECT_FALSE(BrowserManager(std::nullopt, settings()).portClientConnected());
  ::close(client);
  EXPECT_FALSE(withPort.portClientConnected());
}

TEST_F(BrowserManagerTest, AnExecutableThatCannotRunIsALaunchFailureAndLeavesNoFolder) {
  const std::string broken = scratch.file("broken");
  std::ofstream(broken) << "#!/nonexistent/interpreter\n";
  ASSERT_EQ(::chmod(broken.c_str(), 0700), 0);
  ScopedEnv env("VARN_BROWSER_BIN", broken);
  BrowserManager manager(port, settings());
  // setpriv reports the failed exec with status 127.
  EXPECT_EQ(errorOf([&] { manager.start(true); }),
            "browser launch failure: browser exited during start with exit status 127");
  EXPECT_FALSE(manager.isRunning());
  EXPECT_TRUE(profiles().empty());
}

TEST_F(BrowserManagerTest, AStopDuringTheReadinessWaitEndsTheStartAtOnce) {
  ScopedEnv env("FAKE_BROWSER_MODE", "silent");
  auto s = settings();
  s.readyTimeout = 24h;  // far longer than the test may take
  BrowserManager manager(port, s);
  auto starting =
      std::async(std::launch::async, [&] { return errorOf([&] { manager.start(true); }); });
  // isRunning() does not wait for the start in progress.
  ASSERT_TRUE(eventually([&] { return manager.isRunning(); }));
  manager.stop();
  ASSERT_EQ(starting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(starting.get(), "browser launch failure: CDP pipe did not become ready");
  EXPECT_FALSE(manager.isRunning());
  EXPECT_TRUE(profiles().empty());
}

TEST_F(BrowserManagerTest, ABrowserThatDiedIsStartedAfreshInAFreshFolder) {
  BrowserManager manager(port, settings());
  ASSERT_FALSE(manager.start(true));
  const fs::path first = profiles().at(0);
  ASSERT_EQ(::kill(launches()[0]["pid"].get<pid_t>(), SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return !manager.isRunning(); }));
  EXPECT_FALSE(manager.start(true));
  ASSERT_EQ(profiles().size(), 1u);
  EXPECT_NE(profiles()[0], first);
  EXPECT_EQ(launches().size(), 2u);
}

// Leftovers of other servers: each case is a running manager whose owner record is then edited
// to look like another server's, before a fresh manager's start sweeps the temporary folder.
TEST_F(BrowserManagerTest, TheSweepEndsOnlyRecordedBrowsersOfVanishedServers) {
  std::vector<std::unique_ptr<BrowserManager>> others;
  std::vector<fs::path> folders;
  auto startOther = [&](const std::function<void(Json&)>& edit) {
    others.push_back(std::make_unique<BrowserManager>(std::nullopt, settings()));
    const auto before = profiles();
    EXPECT_FALSE(others.back()->start(true));
    for (const fs::path& folder : profiles()) {
      if (std::find(before.begin(), before.end(), folder) != before.end()) continue;
      Json owner = readJson(folder / "varn-owner.json");
      edit(owner);
      writeJson(folder / "varn-owner.json", owner);
      folders.push_back(folder);
    }
  };
  const std::int64_t noSuchPid = 99999999;                            // above any pid_max
  startOther([&](Json& owner) { owner["server_pid"] = noSuchPid; });  // 0: orphaned
  startOther([&](Json& owner) {                                       // 1: another boot
    owner["server_pid"] = noSuchPid;
    owner["boot_id"] = "another-boot";
  });
  startOther([&](Json& owner) {  // 2: pid reused
    owner["server_pid"] = noSuchPid;
    owner["browser_start"] = owner["browser_start"].get<std::int64_t>() + 1;
  });
  startOther([](Json&) {});  // 3: a live server
  ASSERT_EQ(folders.size(), 4u);

  fs::create_directory(temp / "varn-browser-fresh");
  fs::create_directory(temp / "varn-browser-stale");
  ::utimbuf twoDaysAgo{0, ::time(nullptr) - 2 * 24 * 3600};
  ASSERT_EQ(::utime((temp / "varn-browser-stale").c_str(), &twoDaysAgo), 0);
  fs::create_directory(scratch.file("kept"));
  fs::create_directory_symlink(scratch.file("kept"), temp / "varn-browser-link");
  ::utime((temp / "varn-browser-link").c_str(), &twoDaysAgo);
  std::ofstream(temp / "varn-browser-file") << "x";

  BrowserManager sweeper(port, settings());
  ASSERT_FALSE(sweeper.start(true));

  EXPECT_TRUE(eventually([&] { return !others[0]->isRunning(); }));  // SIGTERM by pid
  EXPECT_TRUE(others[1]->isRunning());
  EXPECT_TRUE(others[2]->isRunning());
  EXPECT_TRUE(others[3]->isRunning());
  EXPECT_FALSE(fs::exists(folders[0]));
  EXPECT_FALSE(fs::exists(folders[1]));
  EXPECT_FALSE(fs::exists(folders[2]));
  EXPECT_TRUE(fs::exists(folders[3]));
  EXPECT_TRUE(fs::exists(temp / "varn-browser-fresh"));
  EXPECT_FALSE(fs::exists(temp / "varn-browser-stale"));
  EXPECT_TRUE(fs::is_symlink(temp / "varn-browser-link"));
  EXPECT_TRUE(fs::exists(scratch.file("kept")));
  EXPECT_TRUE(fs::exists(temp / "varn-browser-file"));
}

}  // namespace
}  // namespace varn::mcp
