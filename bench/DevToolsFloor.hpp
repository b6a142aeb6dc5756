#pragma once

// What the browser benchmarks share: the floor (Debian's Chromium started by the benchmark itself,
// with the flags the server uses, and driven over its own DevTools pipe without MCP), timing
// helpers, and one tool call on the server.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "mcp/browser/BrowserSwitches.hpp"
#include "tests/support/BrowserKit.hpp"
#include "tests/support/JsonRpc.hpp"
#include "tests/support/ServerProcess.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace varn::bench {

using Clock = std::chrono::steady_clock;
using tests::Json;
using tests::ServerProcess;

// The floor polls its browser this often while it starts and while a page loads.
constexpr auto kFloorPoll = std::chrono::milliseconds(10);

inline double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The floor's browser: started as the server starts it (without setpriv, which is part of the
// server's cost), its pipe on descriptors 3 and 4; ready once it answers Browser.getVersion.
class FloorBrowser {
 public:
  FloorBrowser(const std::string& wrapper, const std::string& profile) {
    std::vector<std::string> args = {wrapper, "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile};
    args.insert(args.end(), std::begin(mcp::kBrowserSwitches), std::end(mcp::kBrowserSwitches));
    args.push_back("--headless=new");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int commands[2];
    int replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) {
      std::fprintf(stderr, "floor: pipe failed\n");
      std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, commands[0], 3);
    posix_spawn_file_actions_adddup2(&actions, replies[1], 4);
    // As the server gives its browser: a temporary folder, a home and XDG folders in the profile.
    const std::string home = profile + "/home";
    std::vector<std::string> own = {"TMPDIR=" + profile, "HOME=" + home};
    for (const auto& [name, below] : mcp::kBrowserHomeFolders) {
      own.push_back(std::string(name) + "=" + home + "/" + below);
    }
    std::vector<std::string> environment = own;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text(*entry);
      const std::string name = text.substr(0, text.find('=') + 1);
      if (std::none_of(own.begin(), own.end(),
                       [&](const std::string& set) { return set.rfind(name, 0) == 0; })) {
        environment.push_back(text);
      }
    }
    std::filesystem::create_directories(home);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const Clock::time_point begin = Clock::now();
    if (posix_spawn(&pid_, wrapper.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      std::fprintf(stderr, "floor: spawn failed\n");
      std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(replies[1]);
    out_ = commands[1];
    in_ = replies[0];
    send("Browser.getVersion");
    startMs_ = millis(Clock::now() - begin);
  }
  ~FloorBrowser() {
    close(out_);
    close(in_);
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  FloorBrowser(const FloorBrowser&) = delete;
  FloorBrowser& operator=(const FloorBrowser&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] double startMs() const { return startMs_; }
  // The commands sent so far.
  [[nodiscard]] int commands() const { return lastId_; }

  // One command over the pipe; waits for its reply, skipping events.
  Json send(const std::string& method, const Json& params = Json::object(),
            const std::string& sessionId = "") {
    Json command{{"id", ++lastId_}, {"method", method}, {"params", params}};
    if (!sessionId.empty()) command["sessionId"] = sessionId;
    const std::string bytes = command.dump() + std::string(1, '\0');
    for (std::size_t written = 0; written < bytes.size();) {
      const ssize_t n = write(out_, bytes.data() + written, bytes.size() - written);
      if (n <= 0) {
        std::fprintf(stderr, "floor: write failed\n");
        std::exit(1);
      }
      written += static_cast<std::size_t>(n);
    }
    for (;;) {
      const std::size_t nul = inbox_.find('\0');
      if (nul == std::string::npos) {
        char buffer[65536];
        const ssize_t n = read(in_, buffer, sizeof buffer);
        if (n <= 0) {
          std::fprintf(stderr, "floor: the browser ended its pipe\n");
          std::exit(1);
        }
        inbox_.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      Json message = Json::parse(inbox_.substr(0, nul));
      inbox_.erase(0, nul + 1);
      if (message.value("id", 0) == lastId_) return message.value("result", Json::object());
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int lastId_ = 0;
  std::string inbox_;
  double startMs_ = 0;
};

// The floor's DevTools client is its browser's own pipe.
using RawDevTools = FloorBrowser;

// A flat session on the floor browser's first tab, with the Page domain enabled. The tab may be
// listed a moment after the endpoint answers.
inline std::string floorPageSession(RawDevTools& devtools) {
  std::string target;
  while (target.empty()) {
    for (const Json& info :
         devtools.send("Target.getTargets").value("targetInfos", Json::array())) {
      if (info.value("type", "") == "page") target = info.value("targetId", "");
    }
    if (target.empty()) std::this_thread::sleep_for(kFloorPoll);
  }
  const std::string session =
      devtools.send("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})
          .value("sessionId", "");
  devtools.send("Page.enable", Json::object(), session);
  return session;
}

// Navigates the page session and polls until the new document is complete.
inline double floorNavigate(RawDevTools& devtools, const std::string& session,
                            const std::string& url) {
  const Clock::time_point begin = Clock::now();
  devtools.send("Page.navigate", {{"url", url}}, session);
  const Json probe = {{"expression", "document.readyState + ' ' + location.href"},
                      {"returnByValue", true}};
  for (;;) {
    const Json reply = devtools.send("Runtime.evaluate", probe, session);
    const Json result = reply.value("result", Json::object());
    if (result.is_object() && result.value("value", Json()) == "complete " + url) break;
    std::this_thread::sleep_for(kFloorPoll);
  }
  return millis(Clock::now() - begin);
}

// A browser benchmark's scratch folder: the Chromium wrapper, a TMPDIR and a home in it.
struct BrowserScratch {
  tests::TempDir dir;
  std::string wrapper = tests::writeChromiumWrapper(dir.path());
  std::string tmp = dir.makeFolder("t");
  std::string home = dir.makeFolder("h");

  // varn-mcp with its browser (on its pipe alone, unless `args` asks for a port) and its vault at
  // `socket`; the browser is started through `browser` when given, else through the wrapper.
  [[nodiscard]] ServerProcess server(const std::string& binary, const std::string& socket,
                                     const std::string& browser = "",
                                     const std::vector<std::string>& args = {}) const {
    return ServerProcess(binary, args,
                         {{"HOME", home},
                          {"VARN_SOCKET", socket},
                          {"PATH", "/usr/bin:/bin"},
                          {"TMPDIR", tmp},
                          {"VARN_BROWSER_BIN", browser.empty() ? wrapper : browser}});
  }
};

// One tool call on the server; its output record, or null after an error result.
inline Json call(ServerProcess& server, int id, const std::string& tool, const Json& args) {
  server.sendLine(tests::toolsCall(id, tool, args));
  const auto reply = tests::parseReply(server.readLine().value_or(""));
  const auto result = reply ? tests::toolResult(*reply) : std::nullopt;
  if (!result || result->isError) {
    std::fprintf(stderr, "%s failed: %s\n", tool.c_str(), result ? result->text.c_str() : "-");
    return nullptr;
  }
  return Json::parse(result->text);
}

}  // namespace varn::bench
