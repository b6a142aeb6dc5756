// The resolve road's cost end to end: totp_code calls pipelined through the real varn-mcp against
// the tests' fake vault, beside a floor of raw request/reply exchanges with the same fake vault
// over its Unix socket (connect, one request line, one reply line, close), in one run.
//
// The server's limiter allows 60 resolves per tool in 60 seconds, so a burst of 10,000 totp_code
// calls cannot all reach the vault. The run therefore shows three figures of the road: the 60 calls
// the vault answers "allowed", 10,000 calls past the limit (refused after the limiter, each still
// audited), and 10,000 calls with a minted handle (redeemed from memory, code computed, audited).
//
//   resolve_bench [path/to/varn-mcp]
//
// Prints one table; nothing is asserted, the figures are read by people.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>

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

constexpr int kCalls = 10'000;
constexpr int kAllowed = 60;  // what the server's limiter lets through in one window
const std::string kRef = "varn://local/GitHub/otp";
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// One exchange with the vault socket as the server makes it; returns whether a reply came.
bool rawExchange(const std::string& socketPath, const std::string& line) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  std::string reply;
  char buffer[4096];
  while (ok) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
    if (reply.find('\n') != std::string::npos) break;
  }
  ::close(fd);
  return ok && !reply.empty();
}

// Sends `count` totp_code calls for `ref` in one go and reads `count` replies; returns seconds.
double pipelined(ServerProcess& server, const std::string& ref, int count, int& errors) {
  std::string batch;
  for (int i = 0; i < count; ++i) {
    batch += varn::tests::toolsCall(i + 1, "totp_code", Json{{"ref", ref}}) + "\n";
  }
  auto start = Clock::now();
  if (!server.send(batch)) {
    std::fprintf(stderr, "send failed\n");
    std::exit(1);
  }
  errors = 0;
  for (int i = 0; i < count; ++i) {
    std::optional<std::string> line = server.readLine();
    if (!line) {
      std::fprintf(stderr, "reply %d missing\n", i);
      std::exit(1);
    }
    if (line->find(R"("isError":true)") != std::string::npos) ++errors;
  }
  return seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = argc > 1 ? argv[1] : VARN_MCP_BINARY;
  TempDir dir;
  std::string home = dir.makeFolder("h");
  std::string socket = dir.file("v.sock");
  std::map<std::string, std::string> env{{"HOME", home}, {"VARN_SOCKET", socket}};
  FakeVault vault(socket);
  vault.answer("resolve", VaultReply::line(Json{{"decision", "allowed"}, {"value", kSeed}}.dump()));

  // Floor: raw exchanges with the same fake vault.
  const std::string request = R"({"op":"resolve","ref":"varn:\/\/local\/GitHub\/otp",)"
                              R"("approved":false})"
                              "\n";
  auto floorStart = Clock::now();
  for (int i = 0; i < kCalls; ++i) {
    if (!rawExchange(socket, request)) {
      std::fprintf(stderr, "raw exchange %d failed\n", i);
      return 1;
    }
  }
  double floorSeconds = seconds(Clock::now() - floorStart);

  ServerProcess server(binary, {}, env);
  int errors = 0;
  double allowedSeconds = pipelined(server, kRef, kAllowed, errors);
  int allowedErrors = errors;
  double limitedSeconds = pipelined(server, kRef, kCalls, errors);
  int limitedErrors = errors;

  // A second server (fresh limiter) mints one handle, then redeems it.
  ServerProcess handles(binary, {}, env);
  handles.sendLine(varn::tests::toolsCall(
      0, "mint_token", Json{{"root_ref", kRef}, {"scope", "bench"}, {"ttl_seconds", 3600}}));
  std::optional<std::string> minted = handles.readLine();
  std::optional<Json> reply = minted ? varn::tests::parseReply(*minted) : std::nullopt;
  std::optional<varn::tests::ToolResult> result =
      reply ? varn::tests::toolResult(*reply) : std::nullopt;
  if (!result || result->isError) {
    std::fprintf(stderr, "mint_token failed\n");
    return 1;
  }
  std::string handle = Json::parse(result->text).at("handle").get<std::string>();
  double handleSeconds = pipelined(handles, handle, kCalls, errors);
  int handleErrors = errors;

  auto perCall = [](double total, int count) { return total / count * 1e6; };
  double floorPerCall = perCall(floorSeconds, kCalls);
  std::printf("%-52s %10s %8s %8s\n", "measurement", "us/call", "x floor", "errors");
  std::printf("%-52s %10.1f %8s %8d\n", "floor: raw vault socket exchange (sequential)",
              floorPerCall, "1.0", 0);
  std::printf("%-52s %10.1f %8.1f %8d\n", "totp_code, vault answers allowed (60, pipelined)",
              perCall(allowedSeconds, kAllowed), perCall(allowedSeconds, kAllowed) / floorPerCall,
              allowedErrors);
  std::printf("%-52s %10.1f %8.1f %8d\n", "totp_code past the rate limit (10,000, pipelined)",
              perCall(limitedSeconds, kCalls), perCall(limitedSeconds, kCalls) / floorPerCall,
              limitedErrors);
  std::printf("%-52s %10.1f %8.1f %8d\n", "totp_code with a minted handle (10,000, pipelined)",
              perCall(handleSeconds, kCalls), perCall(handleSeconds, kCalls) / floorPerCall,
              handleErrors);
  server.closeInput();
  handles.closeInput();
  server.waitForExit();
  handles.waitForExit();
  return 0;
}
