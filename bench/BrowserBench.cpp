// The browser tools of the real varn-mcp against Debian's Chromium, measured beside a floor that
// the benchmark drives itself in the same run: the same Chromium (through the same wrapper, with
// the same flags), started by the benchmark and driven over one raw WebSocket, without MCP.
//
//   browser_bench [path/to/varn-mcp]
//
// Prints one table; nothing is asserted, the figures are read by people.

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
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "tests/support/BrowserKit.hpp"
#include "tests/support/JsonRpc.hpp"
#include "tests/support/ServerProcess.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Clock = std::chrono::steady_clock;
using varn::tests::Json;
using varn::tests::ServerProcess;
using varn::tests::TempDir;

constexpr int kStarts = 5;
constexpr int kNavigations = 20;
constexpr auto kListFor = std::chrono::seconds(3);
// The floor polls its browser this often while it starts and while a page loads.
constexpr auto kFloorPoll = std::chrono::milliseconds(10);

double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The proportional set size of a process and all its descendants, in KiB.
long treePssKiB(pid_t root) {
  long total = 0;
  std::vector<pid_t> pending{root};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
      if (line.rfind("Pss:", 0) == 0) total += std::strtol(line.c_str() + 4, nullptr, 10);
    }
    for (pid_t child : varn::tests::childrenOf(pid)) pending.push_back(child);
  }
  return total;
}

// The floor's browser: started as the server starts it, polled until /json/version answers.
class FloorBrowser {
 public:
  FloorBrowser(const std::string& wrapper, const std::string& profile, int port) {
    std::vector<std::string> args = {wrapper,
                                     "--remote-debugging-port=" + std::to_string(port),
                                     "--remote-debugging-address=127.0.0.1",
                                     "--remote-allow-origins=*",
                                     "--user-data-dir=" + profile,
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-background-networking",
                                     "--headless=new"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    const Clock::time_point begin = Clock::now();
    if (posix_spawn(&pid_, wrapper.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      std::fprintf(stderr, "floor: spawn failed\n");
      std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(1));
    for (;;) {
      auto reply = client.Get("/json/version");
      if (reply && reply->status == 200) {
        startMs_ = millis(Clock::now() - begin);
        webSocketURL_ = Json::parse(reply->body).at("webSocketDebuggerUrl").get<std::string>();
        return;
      }
      std::this_thread::sleep_for(kFloorPoll);
    }
  }
  ~FloorBrowser() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  FloorBrowser(const FloorBrowser&) = delete;
  FloorBrowser& operator=(const FloorBrowser&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] double startMs() const { return startMs_; }
  [[nodiscard]] const std::string& webSocketURL() const { return webSocketURL_; }

 private:
  pid_t pid_ = -1;
  double startMs_ = 0;
  std::string webSocketURL_;
};

// One raw DevTools WebSocket, synchronous: each command waits for its reply, skipping events.
class RawDevTools {
 public:
  RawDevTools(int port, const std::string& url) {
    asio::ip::tcp::resolver resolver(io_);
    asio::connect(ws_.next_layer(), resolver.resolve("127.0.0.1", std::to_string(port)));
    ws_.read_message_max(64 << 20);
    const std::string prefix = "ws://127.0.0.1:" + std::to_string(port);
    ws_.handshake("127.0.0.1:" + std::to_string(port), url.substr(prefix.size()));
  }

  Json send(const std::string& method, const Json& params = Json::object(),
            const std::string& sessionId = "") {
    Json command{{"id", ++lastId_}, {"method", method}, {"params", params}};
    if (!sessionId.empty()) command["sessionId"] = sessionId;
    ws_.write(asio::buffer(command.dump()));
    for (;;) {
      beast::flat_buffer buffer;
      ws_.read(buffer);
      Json message = Json::parse(beast::buffers_to_string(buffer.data()));
      if (message.value("id", 0) == lastId_) return message.value("result", Json::object());
    }
  }

 private:
  asio::io_context io_;
  websocket::stream<asio::ip::tcp::socket> ws_{io_};
  int lastId_ = 0;
};

// Navigates the page session and polls until the new document is complete.
double floorNavigate(RawDevTools& devtools, const std::string& session, const std::string& url) {
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

// One tool call on the server; its output record, or null after an error result.
Json call(ServerProcess& server, int id, const std::string& tool, const Json& args) {
  server.sendLine(varn::tests::toolsCall(id, tool, args));
  const auto reply = varn::tests::parseReply(server.readLine().value_or(""));
  const auto result = reply ? varn::tests::toolResult(*reply) : std::nullopt;
  if (!result || result->isError) {
    std::fprintf(stderr, "%s failed: %s\n", tool.c_str(), result ? result->text.c_str() : "-");
    return nullptr;
  }
  return Json::parse(result->text);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  TempDir dir;
  const std::string wrapper = varn::tests::writeChromiumWrapper(dir.path());
  const std::string tmp = dir.makeFolder("t");
  const std::string home = dir.makeFolder("h");
  varn::tests::PageServer pages(
      std::map<std::string, std::string>{{"/ready", "<title>ready</title><p>ready at once"}});

  // The floor: the benchmark's own browser and WebSocket.
  std::vector<double> floorStarts;
  std::vector<double> floorNavigations;
  long floorTreePss = 0;
  for (int run = 0; run < kStarts; ++run) {
    const int port = static_cast<int>(varn::tests::unusedLoopbackPort());
    FloorBrowser browser(wrapper, tmp + "/floor-" + std::to_string(run), port);
    floorStarts.push_back(browser.startMs());
    if (run > 0) continue;
    RawDevTools devtools(port, browser.webSocketURL());
    // The first tab may be listed a moment after the endpoint answers.
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
    for (int i = 0; i < kNavigations; ++i) {
      floorNavigations.push_back(
          floorNavigate(devtools, session, pages.url("/ready") + "?floor=" + std::to_string(i)));
    }
    floorTreePss = treePssKiB(browser.pid());
  }

  // The server: browser_start, browser_navigate and browser_tabs over MCP.
  const int port = static_cast<int>(varn::tests::unusedLoopbackPort());
  ServerProcess server(binary, {"--cdp-port", std::to_string(port)},
                       {{"HOME", home},
                        {"VARN_SOCKET", dir.file("v.sock")},
                        {"PATH", "/usr/bin:/bin"},
                        {"TMPDIR", tmp},
                        {"VARN_BROWSER_BIN", wrapper}});
  int id = 0;
  std::vector<double> serverStarts;
  for (int run = 0; run < kStarts; ++run) {
    const Clock::time_point begin = Clock::now();
    if (call(server, ++id, "browser_start", {{"headless", true}}).is_null()) return 1;
    serverStarts.push_back(millis(Clock::now() - begin));
    if (run + 1 < kStarts) call(server, ++id, "browser_stop", Json::object());
  }
  std::vector<double> serverNavigations;
  for (int i = 0; i < kNavigations; ++i) {
    const std::string url = pages.url("/ready") + "?server=" + std::to_string(i);
    const Clock::time_point begin = Clock::now();
    if (call(server, ++id, "browser_navigate", {{"url", url}}).is_null()) return 1;
    serverNavigations.push_back(millis(Clock::now() - begin));
  }
  int lists = 0;
  const Clock::time_point listBegin = Clock::now();
  while (Clock::now() - listBegin < kListFor) {
    if (call(server, ++id, "browser_tabs", {{"action", "list"}}).is_null()) return 1;
    ++lists;
  }
  const double listsPerSecond =
      lists / std::chrono::duration<double>(Clock::now() - listBegin).count();
  const long serverPeak = varn::tests::peakRssKiB(server.pid());
  const std::vector<pid_t> children = varn::tests::childrenOf(server.pid());
  const long serverTreePss = children.empty() ? 0 : treePssKiB(children.front());
  call(server, ++id, "browser_stop", Json::object());
  server.closeInput();
  server.waitForExit();

  std::printf("%-48s %12s %12s\n", "measurement (median)", "varn-mcp", "floor");
  std::printf("%-48s %9.1f ms %9.1f ms\n", "start until ready (browser_start reply)",
              median(serverStarts), median(floorStarts));
  std::printf("%-48s %9.1f ms %9.1f ms\n", "navigate a ready local page", median(serverNavigations),
              median(floorNavigations));
  std::printf("%-48s %9.0f /s %12s\n", "browser_tabs list calls", listsPerSecond, "-");
  std::printf("%-48s %8.1f MiB %12s\n", "server peak RSS with a browser running (VmHWM)",
              serverPeak / 1024.0, "-");
  std::printf("%-48s %8.1f MiB %8.1f MiB\n", "browser tree PSS", serverTreePss / 1024.0,
              floorTreePss / 1024.0);
  return 0;
}
