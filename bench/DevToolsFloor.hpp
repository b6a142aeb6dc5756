#pragma once

// What the browser benchmarks share: the floor (Debian's Chromium started by the benchmark itself,
// with the flags the server uses, and driven over one raw DevTools WebSocket without MCP), timing
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

namespace varn::bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
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

  // varn-mcp with its browser on a free DevTools port and its vault at `socket`.
  [[nodiscard]] ServerProcess server(const std::string& binary, const std::string& socket) const {
    const int port = static_cast<int>(tests::unusedLoopbackPort());
    return ServerProcess(binary, {"--cdp-port", std::to_string(port)},
                         {{"HOME", home},
                          {"VARN_SOCKET", socket},
                          {"PATH", "/usr/bin:/bin"},
                          {"TMPDIR", tmp},
                          {"VARN_BROWSER_BIN", wrapper}});
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
