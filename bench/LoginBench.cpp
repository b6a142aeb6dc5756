// web_login of the real varn-mcp on local single-step and two-step forms (Debian's Chromium, a
// fake vault), beside a floor that the benchmark drives itself in the same run over the same
// Chromium's own DevTools pipe: navigate, wait for the load, focus, insertText,
// submit, wait for the next page; no MCP, no vault, no checks.
//
//   login_bench [path/to/varn-mcp]
//
// Prints one table, with the DevTools commands one login sends (counted in a run of its own
// through a relay on the browser's pipe) beside the floor's; nothing is asserted, the figures are
// read by people. A last line gives web_login's time, peak threads and peak memory on a form
// beside 600 frames of another site.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/DevToolsFloor.hpp"
#include "tests/support/FakeVault.hpp"
#include "tests/support/LoginSite.hpp"

namespace {

using varn::bench::Clock;
using varn::bench::FloorBrowser;
using varn::bench::floorNavigate;
using varn::bench::kFloorPoll;
using varn::bench::median;
using varn::bench::millis;
using varn::bench::RawDevTools;
using varn::tests::Json;
using varn::tests::LoginSite;

// A login's time here spreads over tens of milliseconds, for the floor as for web_login: the
// site's replies go out in more than one segment, and the last may wait for the browser's delayed
// acknowledgement (up to 40 ms) or not. The median of 15 runs moved by a tenth from one run of
// the benchmark to the next; this many hold it steadier.
constexpr int kRuns = 31;
constexpr int kRunsPerServer = 14;
// The frames of the flood figure's page.
constexpr int kFloodFrames = 600;

// A field of /proc/<pid>/status ("VmHWM", "Threads") as a number (kB for sizes); -1 when unread.
long statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Runs the browser command line given after the count file, relaying its DevTools pipe
// (descriptors 3 and 4) and keeping the number of commands sent so far in the count file.
constexpr const char* kRelay = R"(import os, sys, threading
count_file, browser = sys.argv[1], sys.argv[2:]
commands_r, commands_w = os.pipe()
replies_r, replies_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.dup2(commands_r, 3)
    os.dup2(replies_w, 4)
    for fd in (commands_r, commands_w, replies_r, replies_w):
        os.close(fd)
    os.execv(browser[0], browser)
os.close(commands_r)
os.close(replies_w)
def relay(source, target, count):
    sent = 0
    while chunk := os.read(source, 65536):
        if count:
            sent += chunk.count(b"\0")
            with open(count_file + ".part", "w") as out:
                out.write(str(sent))
            os.replace(count_file + ".part", count_file)
        while chunk:
            chunk = chunk[os.write(target, chunk):]
    os.close(target)
threading.Thread(target=relay, args=(3, commands_w, True), daemon=True).start()
threading.Thread(target=relay, args=(replies_r, 4, False), daemon=True).start()
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
)";

// One form of a login: the page, the fields typed into it (selector, value), where it leads.
struct Step {
  std::string path;
  std::vector<std::pair<std::string, std::string>> fields;
  std::string next;
};

// The floor's login: every step is navigated to (the first) or reached by the previous submit,
// its fields are focused and typed, and the form is submitted; the run ends when the last
// page's document is complete.
double floorLogin(RawDevTools& devtools, const std::string& session, const LoginSite& site,
                  const std::vector<Step>& steps) {
  const Clock::time_point begin = Clock::now();
  floorNavigate(devtools, session, site.url(steps.front().path));
  for (const Step& step : steps) {
    for (const auto& [selector, value] : step.fields) {
      devtools.send(
          "Runtime.evaluate",
          {{"expression", "document.querySelector(" + Json(selector).dump() + ").focus()"}},
          session);
      devtools.send("Input.insertText", {{"text", value}}, session);
    }
    devtools.send("Runtime.evaluate",
                  {{"expression", "document.activeElement.form.requestSubmit()"}}, session);
    const Json probe = {{"expression", "document.readyState + ' ' + location.href"},
                        {"returnByValue", true}};
    for (;;) {
      const Json result = devtools.send("Runtime.evaluate", probe, session).value("result", Json());
      if (result.is_object() &&
          result.value("value", Json()) == "complete " + site.url(step.next)) {
        break;
      }
      std::this_thread::sleep_for(kFloorPoll);
    }
  }
  return millis(Clock::now() - begin);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  const varn::bench::BrowserScratch scratch;

  LoginSite site;
  site.page("/one",
            "<title>Sign in</title><form method=\"post\"><input name=\"user\" type=\"email\">"
            "<input name=\"pw\" type=\"password\"><button>Sign in</button></form>",
            "/home");
  site.page("/step1",
            "<title>Sign in</title><form method=\"post\"><input name=\"user\" "
            "autocomplete=\"username\"><button>Next</button></form>",
            "/step2");
  site.page("/step2",
            "<title>Password</title><form method=\"post\"><input name=\"pw\" "
            "type=\"password\"><button>Sign in</button></form>",
            "/home");
  site.page("/home", "<title>Home</title><p>welcome");
  std::string framed =
      "<title>Sign in</title><form method=\"post\"><input name=\"user\" type=\"email\">"
      "<input name=\"pw\" type=\"password\"><button>Sign in</button></form>";
  for (int frame = 0; frame < kFloodFrames; ++frame) {
    framed +=
        "<iframe src=\"" + site.localhostURL("/frame?" + std::to_string(frame)) + "\"></iframe>";
  }
  site.page("/frames", framed, "/home");
  site.page("/frame", "<p>frame");
  const std::map<std::string, std::vector<Step>> forms = {
      {"one",
       {{"/one", {{"[name=user]", "bench@example.com"}, {"[name=pw]", "bench-pw"}}, "/home"}}},
      {"two",
       {{"/step1", {{"[name=user]", "bench@example.com"}}, "/step2"},
        {"/step2", {{"[name=pw]", "bench-pw"}}, "/home"}}},
  };

  // The server: one web_login per run, with an item per form bound to the site's host.
  varn::tests::FakeVault vault(scratch.dir.file("v.sock"));
  vault.answer("list", varn::tests::VaultReply::line("[]"));
  std::map<std::string, std::string> starts = {{"frames", "/frames"}};
  for (const auto& [name, steps] : forms) starts[name] = steps.front().path;
  for (const auto& [name, start] : starts) {
    const std::string item = "varn://local/" + name;
    for (const auto& [label, value] : std::map<std::string, std::string>{
             {"username", "bench@example.com"}, {"password", "bench-pw"}}) {
      const Json preview{{"decision", "allowed"},
                         {"type", label},
                         {"url", site.url(start)},
                         {"allowed_hosts", {"127.0.0.1"}}};
      vault.answer("preview", item + "/" + label, varn::tests::VaultReply::line(preview.dump()));
      vault.answer(
          "resolve", item + "/" + label,
          varn::tests::VaultReply::line(Json{{"decision", "allowed"}, {"value", value}}.dump()));
    }
  }
  // The floor's own browser and its pipe, beside the server's: each timed web_login follows a
  // floor login of the same form, so that whatever the machine does meanwhile weighs on both.
  std::map<std::string, std::vector<double>> floor;
  std::map<std::string, int> floorCommands;
  std::map<std::string, std::vector<double>> login;
  int id = 0;
  {
    FloorBrowser floorBrowser(scratch.wrapper, scratch.tmp + "/floor");
    RawDevTools& devtools = floorBrowser;
    const std::string floorSession = varn::bench::floorPageSession(devtools);
    // A server resolves at most 60 values a minute, two per login of each form: each server serves
    // kRunsPerServer runs after an untimed first one, which attaches the browser's page (the floor
    // too has an untimed first login).
    for (int first = 0; first < kRuns; first += kRunsPerServer) {
      auto server = scratch.server(binary, vault.socketPath());
      if (varn::bench::call(server, ++id, "browser_start", {{"headless", true}}).is_null()) {
        return 1;
      }
      for (int run = first - 1; run < std::min(kRuns, first + kRunsPerServer); ++run) {
        for (const auto& [name, steps] : forms) {
          if (run < first) {
            if (first == 0) floorLogin(devtools, floorSession, site, steps);
            varn::bench::call(server, ++id, "web_login", {{"ref", "varn://local/" + name}});
            continue;
          }
          const int before = devtools.commands();
          floor[name].push_back(floorLogin(devtools, floorSession, site, steps));
          floorCommands[name] = devtools.commands() - before;
          const Clock::time_point begin = Clock::now();
          const Json output =
              varn::bench::call(server, ++id, "web_login", {{"ref", "varn://local/" + name}});
          login[name].push_back(millis(Clock::now() - begin));
          if (output.is_null() || output.value("status", "") != "logged_in") {
            std::fprintf(stderr, "web_login %s: %s\n", name.c_str(), output.dump().c_str());
            return 1;
          }
        }
      }
      varn::bench::call(server, ++id, "browser_stop", Json::object());
      server.closeInput();
      server.waitForExit();
    }
  }

  // The DevTools commands of one login, counted apart from the timing: a second server whose
  // browser's pipe runs through a relay that counts what the server sends.
  const std::string counted = scratch.dir.file("commands");
  const std::string relay = scratch.dir.file("relay.py");
  std::ofstream(relay) << kRelay;
  const std::string counting = scratch.dir.file("counting-browser");
  std::ofstream(counting) << "#!/bin/sh\nexec /usr/bin/python3 " << relay << " " << counted << " "
                          << scratch.wrapper << " \"$@\"\n";
  std::filesystem::permissions(counting, std::filesystem::perms::owner_all);
  const auto sent = [&] {
    int count = 0;
    std::ifstream(counted) >> count;
    return count;
  };
  std::map<std::string, int> commands;
  {
    auto countedServer = scratch.server(binary, vault.socketPath(), counting);
    if (varn::bench::call(countedServer, ++id, "browser_start", {{"headless", true}}).is_null()) {
      return 1;
    }
    for (int run = 0; run < 2; ++run) {  // the second run meets a browser that has seen the site
      for (const auto& [name, steps] : forms) {
        const int before = sent();
        varn::bench::call(countedServer, ++id, "web_login", {{"ref", "varn://local/" + name}});
        commands[name] = sent() - before;
      }
    }
    varn::bench::call(countedServer, ++id, "browser_stop", Json::object());
    countedServer.closeInput();
    countedServer.waitForExit();
  }

  // The flood figure: a fresh server's web_login on a form beside kFloodFrames frames of the
  // site's other origin, with the server's thread count read while the call runs.
  long peakThreads = 0;
  long floodHwm = -1;
  double floodLogin = -1;
  std::string floodStatus = "-";
  {
    auto floodServer = scratch.server(binary, vault.socketPath());
    if (varn::bench::call(floodServer, ++id, "browser_start", {{"headless", true}}).is_null()) {
      return 1;
    }
    const Clock::time_point begin = Clock::now();
    floodServer.sendLine(
        varn::tests::toolsCall(++id, "web_login", {{"ref", "varn://local/frames"}}));
    std::optional<std::string> reply;
    while (!reply && Clock::now() - begin < std::chrono::seconds(120)) {
      // The reply's wait paces the readings.
      reply = floodServer.readLine(std::chrono::milliseconds(10));
      peakThreads = std::max(peakThreads, statusField(floodServer.pid(), "Threads"));
    }
    floodLogin = millis(Clock::now() - begin);
    floodHwm = statusField(floodServer.pid(), "VmHWM");
    const auto parsed = varn::tests::parseReply(reply.value_or(""));
    const auto result = parsed ? varn::tests::toolResult(*parsed) : std::nullopt;
    if (result) {
      floodStatus = result->isError ? result->text
                                    : varn::tests::Json::parse(result->text).value("status", "?");
    }
    varn::bench::call(floodServer, ++id, "browser_stop", Json::object());
    floodServer.closeInput();
    floodServer.waitForExit();
  }

  std::printf("%-36s %12s %12s %8s %14s\n", "login, one tool call (median)", "web_login", "floor",
              "ratio", "commands");
  for (const auto& [name, steps] : forms) {
    const std::string label = name == "one" ? "single-step form" : "two-step form";
    std::printf("%-36s %9.1f ms %9.1f ms %7.2fx %6d vs %3d\n", label.c_str(), median(login[name]),
                median(floor[name]), median(login[name]) / median(floor[name]), commands[name],
                floorCommands[name]);
  }
  std::printf(
      "web_login beside %d cross-site frames: %.1f ms (%s), server peak %ld threads, "
      "peak RSS (VmHWM) %.1f MiB\n",
      kFloodFrames, floodLogin, floodStatus.c_str(), peakThreads, floodHwm / 1024.0);
  return 0;
}
