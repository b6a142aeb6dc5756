// What a flood of input costs the real varn-mcp: its peak resident memory (VmHWM) and thread count
// while a first call holds every reply behind it, against the tests' fake vault. The runs:
//
//   - 30 pings with 15 MiB ids behind a pending approval (every reply is queued);
//   - 30 tool calls carrying a 15 MiB argument, all held at the vault (every line is held);
//   - 30 secret_resolve_preview calls whose reference is 15 MiB long, behind a call held at the
//     vault;
//   - for every tool and every text, list or map argument in its input schema (as tools/list
//     gives it; an unknown one for a tool without such an argument), 30 calls with 15 MiB in it
//     and small values in the others, behind a call held at the vault: one row per tool, for its
//     costliest argument;
//   - 30 lines of 15 MiB made of tiny texts (one-letter list elements, or map members with empty
//     values) in every list and map argument, and in the params of a ping, behind a call held at
//     the vault: such a line weighs far more once parsed than it is long;
//   - 20,000 pings with 4 KB ids behind a pending approval;
//   - 40,000 tool calls against a vault that never accepts a connection, past the pool's thread
//     cap; then the vault's socket closes and every call is answered (with its error), in order;
//   - one http_call with 100,000 header fields: the time to its answer;
//   - 10,000 pings and 16 MiB more written at once, read back by a slow client (64 bytes every
//     10 ms): the server's CPU time per reply while reading is paused with a full read-ahead.
//
// Behind a pending approval, reading pauses once too much is in flight, and the approval's answer
// could only come after the flood, so those runs end with SIGTERM once the server stopped reading.
//
//   flood_bench [path/to/varn-mcp [text]]
//
// With a text, only the runs whose name holds it, and the per-tool runs of the tools whose name
// holds it ("tools": every tool).
//
// Prints one table; nothing is asserted, the figures are read by people.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/FakeVault.hpp"
#include "tests/support/JsonRpc.hpp"
#include "tests/support/ServerProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using varn::tests::FakeVault;
using varn::tests::Gate;
using varn::tests::Json;
using varn::tests::ServerProcess;
using varn::tests::TempDir;
using varn::tests::VaultReply;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// A field of /proc/<pid>/status ("VmHWM", "VmRSS", "Threads") as a number (kB for sizes).
long statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Writes lines 1 to `lines` (each made by `line` when its turn comes, so that the benchmark never
// holds the whole flood) to the server's standard input on a thread of its own, counting what was
// taken.
class Feeder {
 public:
  Feeder(int fd, int lines, std::function<std::string(int id)> line) : fd_(fd) {
    for (int id = 1; id <= lines; ++id) size_ += line(id).size() + 1;
    thread_ = std::thread([this, lines, line = std::move(line)] {
      std::size_t taken = 0;
      for (int id = 1; id <= lines && !stop_.load(); ++id) {
        const std::string text = line(id) + "\n";
        std::size_t offset = 0;
        while (offset < text.size()) {
          pollfd writable{fd_, POLLOUT, 0};
          if (::poll(&writable, 1, 100) < 0) break;
          if ((writable.revents & (POLLERR | POLLHUP)) != 0 || stop_.load()) break;
          if ((writable.revents & POLLOUT) == 0) continue;
          const ssize_t n = ::write(fd_, text.data() + offset, text.size() - offset);
          if (n > 0) {
            offset += static_cast<std::size_t>(n);
            taken_.store(taken + offset);
          }
        }
        if (offset < text.size()) break;
        taken += offset;
      }
      done_.store(true);
    });
  }
  ~Feeder() {
    stop_.store(true);
    thread_.join();
  }
  [[nodiscard]] std::size_t taken() const { return taken_.load(); }
  [[nodiscard]] bool done() const { return done_.load(); }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  int fd_;
  std::size_t size_ = 0;
  std::atomic<std::size_t> taken_{0};
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What watch() saw: the most threads, and the share of the input taken.
struct Seen {
  long threads = 0;
  double taken = 0;
};

// Watches the server until neither its input nor its thread count has moved for a second (all
// read, or reading paused, and the pool done growing).
Seen watch(const ServerProcess& server, const Feeder& feeder) {
  Seen seen;
  std::size_t lastTaken = 0;
  long lastThreads = 0;
  Clock::time_point lastChange = Clock::now();
  while (Clock::now() - lastChange < 1s) {
    const long threads = statusField(server.pid(), "Threads");
    seen.threads = std::max(seen.threads, threads);
    if (feeder.taken() != lastTaken || threads != lastThreads) {
      lastTaken = feeder.taken();
      lastThreads = threads;
      lastChange = Clock::now();
    }
    std::this_thread::sleep_for(10ms);
  }
  seen.taken = static_cast<double>(feeder.taken()) / static_cast<double>(feeder.size());
  return seen;
}

// A vault socket that listens and never accepts: a connection waits in connect() until close().
class NeverAccepting {
 public:
  explicit NeverAccepting(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 0) != 0) {
      std::perror("never-accepting socket");
    }
  }
  ~NeverAccepting() { close(); }
  // Every waiting connect() fails now.
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }

 private:
  std::string path_;
  int fd_ = -1;
};

enum class Front {
  approval,      // a totp_code call waiting for an approval that can only come after the flood
  heldAtVault,   // every call waits for the fake vault's gate
  neverAccepts,  // every call waits in connect() to a vault that never accepts
};

std::string ping(const Json& id) {
  return varn::tests::request(id, "ping");
}

struct Run {
  const char* name;
  int lines;
  std::function<std::string(int id)> line;
  Front front;
  const char* target;
};

void report(const Run& run, long baseKiB, long peakKiB, const Seen& seen, const std::string& end) {
  std::printf("%-52s %8.1f %8.1f %7ld %7.1f%%  %-13s %s\n", run.name, baseKiB / 1024.0,
              peakKiB / 1024.0, seen.threads, 100.0 * seen.taken, run.target, end.c_str());
}

// The peak resident memory of the server (MiB) for `run`; prints its row unless `quiet`.
double flood(const std::string& binary, const Run& run, bool quiet = false) {
  TempDir dir;
  const std::string home = dir.makeFolder("h");
  const std::string socketPath = dir.file("v.sock");
  std::optional<FakeVault> vault;
  std::optional<NeverAccepting> deafVault;
  auto gate = std::make_shared<Gate>();
  if (run.front == Front::neverAccepts) {
    deafVault.emplace(socketPath);
  } else {
    vault.emplace(socketPath);
    vault->answer("resolve", VaultReply::line(R"({"decision":"needs_approval"})"));
    vault->answer("list", VaultReply::heldBy(VaultReply::line("[]"), gate));
  }
  ServerProcess server(binary, {}, {{"HOME", home}, {"VARN_SOCKET", socketPath}});

  // The server is up and idle; then the first call, which holds every reply behind it.
  server.sendLine(ping("up"));
  if (!server.readLine()) std::fprintf(stderr, "%s: no reply to a ping\n", run.name);
  if (run.front == Front::approval) {
    server.sendLine(
        varn::tests::toolsCall(0, "totp_code", Json{{"ref", "varn://local/GitHub/otp"}}));
    if (!server.readLine()) std::fprintf(stderr, "%s: no approval request\n", run.name);
  } else {
    server.sendLine(varn::tests::toolsCall(0, "secret_list"));
    if (vault) vault->waitForRequests(1);
  }
  const long base = statusField(server.pid(), "VmRSS");

  Feeder feeder(server.inputFd(), run.lines, run.line);
  const Seen seen = watch(server, feeder);
  const long peak = statusField(server.pid(), "VmHWM");

  std::string end;
  if (run.front == Front::approval) {
    server.sendSignal(SIGTERM);
    end = "ended by SIGTERM: " + varn::tests::describe(server.waitForExit());
  } else {
    const auto start = Clock::now();
    gate->open();
    if (deafVault) deafVault->close();
    int inOrder = 0;
    for (int id = 0; id <= run.lines; ++id) {
      std::optional<std::string> line = server.readLine();
      if (!line) break;
      std::optional<Json> reply = varn::tests::parseReply(*line);
      if (reply && reply->value("id", Json()) == Json(id)) ++inOrder;
    }
    server.closeInput();
    const double drain = std::chrono::duration<double>(Clock::now() - start).count();
    end = std::to_string(inOrder) + "/" + std::to_string(run.lines + 1) + " replies in order in " +
          std::to_string(drain).substr(0, 4) + " s; " + varn::tests::describe(server.waitForExit());
  }
  if (!quiet) report(run, base, peak, seen, end);
  return peak / 1024.0;
}

// 15 MiB of JSON made of tiny texts: a list of one-letter texts, or an object of short names to
// empty texts.
std::string tinyTexts(bool map) {
  std::string text(1, map ? '{' : '[');
  text.reserve(15 * kMiB + 16);
  for (int i = 0; text.size() < 15 * kMiB; ++i) {
    text += map ? "\"" + std::to_string(i) + "\":\"\"," : std::string("\"a\",");
  }
  text.back() = map ? '}' : ']';
  return text;
}

// A "tools/call" line with `fields` and 15 MiB of tiny texts under `key`.
std::string shapedCall(int id, const std::string& tool, const Json& fields, const std::string& key,
                       bool map) {
  std::string arguments = fields.dump();
  arguments.pop_back();
  if (arguments.size() > 1) arguments += ",";
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" + arguments +
         "\"" + key + "\":" + tinyTexts(map) + "}}}";
}

// The tools and their input schemas, as the server announces them.
Json toolDefinitions(const std::string& binary) {
  TempDir dir;
  ServerProcess server(binary, {}, {{"HOME", dir.makeFolder("h")}});
  server.sendLine(varn::tests::request(1, "tools/list"));
  std::optional<std::string> line = server.readLine();
  std::optional<Json> reply = line ? varn::tests::parseReply(*line) : std::nullopt;
  server.closeInput();
  (void)server.waitForExit();
  return reply ? reply->at("result").at("tools") : Json::array();
}

// A small value of a property's type: arguments beside the one under test, so that the calls get
// as far as they can.
Json smallValue(const std::string& key, const Json& schema) {
  const std::string type = schema.value("type", "");
  if (type == "integer") return 60;
  if (type == "boolean") return false;
  if (type == "array") return Json::array({"x"});
  if (type == "object") return Json::object();
  if (schema.contains("enum")) return schema.at("enum").at(0);
  if (key == "url" || key == "start_url") return "http://127.0.0.1:9/";
  if (key == "method") return "POST";
  if (key.find("ref") != std::string::npos) return "varn://local/GitHub/password";
  return "x";
}

// `bytes` in the shape of a property: the text itself, a list of it, or a map to it.
Json bigValue(const Json& schema, std::size_t bytes) {
  std::string text(bytes, 'a');
  const std::string type = schema.value("type", "");
  if (type == "array") return Json::array({std::move(text)});
  if (type == "object") return Json{{"K", std::move(text)}};
  return text;
}

// Every tool with 15 MiB in each of its text, list and map arguments in turn: one row per tool,
// for the argument that cost the most.
void floodEveryTool(const std::string& binary, const std::string& only) {
  for (const Json& tool : toolDefinitions(binary)) {
    const std::string name = tool.at("name");
    if (only != "tools" && name.find(only) == std::string::npos) continue;
    Json properties = tool.at("inputSchema").value("properties", Json::object());
    // A tool without a text, list or map argument gets the 15 MiB in an argument it does not know.
    const auto holdsText = [](const Json& schema) {
      const std::string type = schema.value("type", "");
      return type == "string" || type == "array" || type == "object";
    };
    if (std::none_of(properties.begin(), properties.end(), holdsText)) {
      properties["pad"] = Json{{"type", "string"}};
    }
    double worst = 0;
    std::string worstKey;
    for (const auto& [key, schema] : properties.items()) {
      if (!holdsText(schema)) continue;
      Json arguments = Json::object();
      for (const auto& [other, otherSchema] : properties.items()) {
        if (other != key) arguments[other] = smallValue(other, otherSchema);
      }
      const Json big = bigValue(schema, 15 * kMiB);
      const std::string label = name + "." + key;
      const Run run{label.c_str(), 30,
                    [&](int id) {
                      Json call = arguments;
                      call[key] = big;
                      return varn::tests::toolsCall(id, name, call);
                    },
                    Front::heldAtVault, "< 512 MiB"};
      const double peak = flood(binary, run, true);
      if (peak > worst) {
        worst = peak;
        worstKey = key;
      }
    }
    std::printf("%-52s %8s %8.1f %7s %8s  %-13s %s\n",
                ("30 x " + name + ", 15 MiB " + worstKey).c_str(), "", worst, "", "", "< 512 MiB",
                "costliest argument");
  }
}

}  // namespace

const Json kSecret{
    {"name", "n"}, {"field_label", "f"}, {"value", "v"}, {"kind", "k"}, {"ai_access", "a"}};

// One http_call carrying 100,000 header fields (a line of about 1.6 MB): the time from the line
// to its answer, which the server gives without sending anything.
void floodHeaders(const std::string& binary) {
  TempDir dir;
  const std::string home = dir.makeFolder("h");
  const std::string socketPath = dir.file("v.sock");
  FakeVault vault(socketPath);
  ServerProcess server(binary, {}, {{"HOME", home}, {"VARN_SOCKET", socketPath}});
  server.sendLine(ping("up"));
  if (!server.readLine()) std::fprintf(stderr, "headers: no reply to a ping\n");
  Json headers = Json::object();
  for (int i = 0; i < 100'000; ++i) headers["X-Field-" + std::to_string(i)] = "v";
  const std::string line = varn::tests::toolsCall(
      1, "http_call",
      Json{{"url", "http://127.0.0.1:9/"}, {"method", "GET"}, {"headers", headers}});
  const auto start = Clock::now();
  server.sendLine(line);
  const std::optional<std::string> reply = server.readLine();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-52s %8.3f s  %-13s %s\n", "http_call, 100,000 headers (1 line)", seconds, "< 1 s",
              reply ? reply->substr(0, 160).c_str() : "no reply");
  server.closeInput();
  (void)server.waitForExit();
}

// The CPU time of every thread of a process so far, in microseconds (schedstat, in nanoseconds:
// finer than the clock ticks of utime and stime).
double cpuMicros(pid_t pid) {
  double nanos = 0;
  const std::filesystem::path tasks("/proc/" + std::to_string(pid) + "/task");
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double running = 0;
    if (schedstat >> running) nanos += running;
  }
  return nanos / 1000;
}

// 10,000 pings and 16 MiB more pings at once, their replies read 64 bytes every 10 ms for five
// seconds once the server has paused: what each reply costs the server while the read-ahead is
// full.
void slowReader(const std::string& binary) {
  TempDir dir;
  ServerProcess server(binary, {}, {{"HOME", dir.makeFolder("h")}});
  const int lines = 10'000 + static_cast<int>(16 * kMiB / ping(100'000).size()) + 100;
  Feeder feeder(server.inputFd(), lines, [](int id) { return ping(id); });
  (void)watch(server, feeder);
  const double before = cpuMicros(server.pid());
  double replies = 0;
  char chunk[64];
  const auto until = Clock::now() + 5s;
  while (Clock::now() < until) {
    const ssize_t n = ::read(server.outputFd(), chunk, sizeof chunk);
    if (n > 0) replies += static_cast<double>(std::count(chunk, chunk + n, '\n'));
    std::this_thread::sleep_for(10ms);
  }
  const double micros = cpuMicros(server.pid()) - before;
  std::printf("%-52s %8.0f us of server CPU per reply (%0.f replies read)\n",
              "slow reader behind 16 MiB read ahead", micros / replies, replies);
  server.sendSignal(SIGTERM);
  (void)server.waitForExit();
}

int main(int argc, char** argv) {
  const std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  const std::string only = argc > 2 ? argv[2] : "";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Run runs[] = {
      {"30 pings, 15 MiB ids, behind a pending approval", 30,
       [](int id) { return ping(std::string(15 * kMiB, 'a' + static_cast<char>(id % 26))); },
       Front::approval, "< 512 MiB"},
      {"30 tool calls, 15 MiB arguments, held at the vault", 30,
       [](int id) {
         return varn::tests::toolsCall(id, "secret_list",
                                       Json{{"pad", std::string(15 * kMiB, 'p')}});
       },
       Front::heldAtVault, "< 512 MiB"},
      {"30 secret_resolve_preview calls, 15 MiB references", 30,
       [](int id) {
         return varn::tests::toolsCall(id, "secret_resolve_preview",
                                       Json{{"ref", std::string(15 * kMiB, 'r')}});
       },
       Front::heldAtVault, "< 512 MiB"},
      {"30 secret_create, 15 MiB allowed_hosts of tiny texts", 30,
       [](int id) { return shapedCall(id, "secret_create", kSecret, "allowed_hosts", false); },
       Front::heldAtVault, "< 512 MiB"},
      {"30 secret_update, 15 MiB allowed_commands of tiny texts", 30,
       [](int id) {
         return shapedCall(id, "secret_update", Json{{"ref", "r"}}, "allowed_commands", false);
       },
       Front::heldAtVault, "< 512 MiB"},
      {"30 run_command, 15 MiB argv of tiny texts", 30,
       [](int id) { return shapedCall(id, "run_command", Json::object(), "argv", false); },
       Front::heldAtVault, "< 512 MiB"},
      {"30 run_command, 15 MiB env_refs of tiny members", 30,
       [](int id) {
         return shapedCall(id, "run_command", Json{{"argv", {"env"}}}, "env_refs", true);
       },
       Front::heldAtVault, "< 512 MiB"},
      {"30 http_call, 15 MiB headers of tiny members", 30,
       [](int id) {
         return shapedCall(id, "http_call", Json{{"url", "http://127.0.0.1:9/"}, {"method", "GET"}},
                           "headers", true);
       },
       Front::heldAtVault, "< 512 MiB"},
      {"30 pings, params of 15 MiB of tiny texts", 30,
       [](int id) {
         return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                R"(,"method":"ping","params":{"p":)" + tinyTexts(false) + "}}";
       },
       Front::heldAtVault, "< 512 MiB"},
      {"20,000 pings, 4 KB ids, behind a pending approval", 20'000,
       [](int id) { return ping(std::to_string(id) + std::string(4096, 'i')); }, Front::approval,
       "< 40 MiB"},
      {"40,000 tool calls, a vault that never accepts", 40'000,
       [](int id) { return varn::tests::toolsCall(id, "secret_list"); }, Front::neverAccepts,
       "1,024 threads"},
  };
  std::printf("%-52s %8s %8s %7s %8s  %-13s %s\n", "flood", "base MiB", "peak MiB", "threads",
              "read", "target", "end");
  for (const Run& run : runs) {
    if (std::string(run.name).find(only) != std::string::npos) flood(binary, run);
  }
  floodEveryTool(binary, only.empty() ? "tools" : only);
  if (std::string("http_call headers").find(only) != std::string::npos) floodHeaders(binary);
  if (std::string("slow reader").find(only) != std::string::npos) slowReader(binary);
  return 0;
}
