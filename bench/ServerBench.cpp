// End-to-end throughput, latency, start-up and memory of the real varn-mcp over pipes, measured
// beside a floor: a minimal stdio server of the benchmark's own (this same program started with
// --floor N) that answers every line with a fixed reply of N bytes, so that only pipes and line
// framing are left.
//
//   server_bench [path/to/varn-mcp]
//
// Prints one table; nothing is asserted, the figures are read by people.

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeVault.hpp"
#include "tests/support/JsonRpc.hpp"
#include "tests/support/ServerProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using varn::tests::FakeVault;
using varn::tests::Json;
using varn::tests::ServerProcess;
using varn::tests::TempDir;
using varn::tests::VaultReply;

constexpr int kBurst = 10'000;
constexpr int kRoundTrips = 1'000;
constexpr int kStarts = 30;

// The floor server: one fixed reply of `size` bytes (plus LF) for every input line.
int runFloor(std::size_t size) {
  std::string reply(size, 'x');
  reply += '\n';
  std::vector<char> buffer(1 << 16);
  while (true) {
    ssize_t n = read(0, buffer.data(), buffer.size());
    if (n <= 0) return 0;
    // One write per reply line, as the server writes them.
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[static_cast<std::size_t>(i)] != '\n') continue;
      std::size_t sent = 0;
      while (sent < reply.size()) {
        ssize_t w = write(1, reply.data() + sent, reply.size() - sent);
        if (w <= 0) return 1;
        sent += static_cast<std::size_t>(w);
      }
    }
  }
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Writes `count` copies of `line` from a thread of its own while this thread reads and counts
// reply lines straight off the pipe, so neither side waits for the other and nothing is kept.
double pipelined(ServerProcess& process, const std::string& line, int count) {
  std::string batch;
  batch.reserve((line.size() + 1) * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) batch += line + "\n";
  const int in = process.inputFd();
  const int out = process.outputFd();
  auto start = Clock::now();
  std::thread writer([&] {
    std::size_t sent = 0;
    while (sent < batch.size()) {
      ssize_t n = write(in, batch.data() + sent, batch.size() - sent);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd ready{in, POLLOUT, 0};
        poll(&ready, 1, -1);
        continue;
      }
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  });
  std::vector<char> buffer(1 << 20);
  int lines = 0;
  while (lines < count) {
    ssize_t n = read(out, buffer.data(), buffer.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd ready{out, POLLIN, 0};
      poll(&ready, 1, -1);
      continue;
    }
    if (n <= 0) {
      std::fprintf(stderr, "output ended after %d replies\n", lines);
      std::exit(1);
    }
    lines += static_cast<int>(std::count(buffer.data(), buffer.data() + n, '\n'));
  }
  double rate = count / seconds(Clock::now() - start);
  writer.join();
  return rate;
}

struct Latency {
  double p50Micros;
  double p99Micros;
};

Latency sequential(ServerProcess& process, const std::string& line, int count) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    process.sendLine(line);
    if (!process.readLine()) std::exit(1);
    samples.push_back(seconds(Clock::now() - start) * 1e6);
  }
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--floor") {
    return runFloor(static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10)));
  }
  std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  std::string self = "/proc/self/exe";
  char selfPath[4096];
  ssize_t selfLength = readlink(self.c_str(), selfPath, sizeof selfPath - 1);
  if (selfLength <= 0) return 1;
  std::string floorProgram(selfPath, static_cast<std::size_t>(selfLength));

  TempDir dir;
  std::string home = dir.path() + "/h";
  std::string socket = dir.path() + "/v.sock";
  std::map<std::string, std::string> env{{"HOME", home}, {"VARN_SOCKET", socket}};
  FakeVault vault(socket);
  vault.answer("list", VaultReply::line(
                           R"([{"ref":"varn://local/GitHub/token","name":"GitHub","type":"token",)"
                           R"("ai_access":"injectable"}])"));

  const std::string toolsList = varn::tests::request(1, "tools/list");
  const std::string unknownTool = varn::tests::toolsCall(2, "no_such_tool", Json::object());
  const std::string secretList = varn::tests::toolsCall(3, "secret_list", Json::object());

  // Start-up: process start to the "initialize" reply, median of several starts.
  std::vector<double> starts;
  for (int i = 0; i < kStarts; ++i) {
    auto begin = Clock::now();
    ServerProcess once(binary, {}, env);
    once.sendLine(varn::tests::request(0, "initialize", Json::object()));
    if (!once.readLine()) return 1;
    starts.push_back(seconds(Clock::now() - begin) * 1e3);
    once.closeInput();
    once.waitForExit();
  }
  std::sort(starts.begin(), starts.end());

  ServerProcess server(binary, {}, env);
  server.sendLine(toolsList);
  auto sample = server.readLine();
  if (!sample) return 1;
  std::size_t replySize = sample->size();
  ServerProcess floor(floorProgram, {"--floor", std::to_string(replySize)}, {});

  double floorList = pipelined(floor, toolsList, kBurst);
  double serverList = pipelined(server, toolsList, kBurst);
  double serverUnknown = pipelined(server, unknownTool, kBurst);
  double serverSecretList = pipelined(server, secretList, kBurst);
  long rss = varn::tests::peakRssKiB(server.pid());
  Latency floorLatency = sequential(floor, toolsList, kRoundTrips);
  Latency serverLatency = sequential(server, toolsList, kRoundTrips);

  std::printf("tools/list reply: %zu bytes\n", replySize);
  std::printf("%-44s %14s\n", "measurement", "value");
  std::printf("%-44s %14.0f\n", "floor: pipelined lines/s", floorList);
  std::printf("%-44s %14.0f  (%.0f%% of floor)\n", "pipelined tools/list req/s", serverList,
              100.0 * serverList / floorList);
  std::printf("%-44s %14.0f\n", "pipelined unknown-tool calls req/s", serverUnknown);
  std::printf("%-44s %14.0f\n", "pipelined secret_list (fake vault) req/s", serverSecretList);
  std::printf("%-44s %11.1f us / %.1f us\n", "floor: sequential p50 / p99", floorLatency.p50Micros,
              floorLatency.p99Micros);
  std::printf("%-44s %11.1f us / %.1f us\n", "sequential tools/list p50 / p99",
              serverLatency.p50Micros, serverLatency.p99Micros);
  std::printf("%-44s %14.2f ms\n", "start to initialize reply (median)", starts[starts.size() / 2]);
  std::printf("%-44s %14.1f MiB\n", "peak RSS after the bursts (VmHWM)", rss / 1024.0);
  server.closeInput();
  floor.closeInput();
  return 0;
}
