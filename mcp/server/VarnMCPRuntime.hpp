#pragma once

#include <chrono>
#include <map>
#include <string>

namespace varn::mcp {

// The agent-access server's one entry point: builds every service once, serves MCP on standard
// input and output until end of input, stops the browser, and returns the process exit status
// (0). SIGTERM and SIGINT end the process at any time, after stopping the browser, with status 128
// plus the signal number; replies still pending are lost. Call once per process, before any other
// thread is started: it changes the process's signal mask and dispositions.
class VarnMCPRuntime final {
 public:
  VarnMCPRuntime() = delete;

  // `argc` and `argv` as main() received them; the program name is dropped.
  static int main(int argc, char** argv);

  // The browser's idle window from VARN_BROWSER_IDLE_SECONDS: a decimal integer (optional sign,
  // ASCII digits, nothing else, within 64 bits); 300 seconds when the variable is absent, empty or
  // not such a number. Zero and negative values are passed on as they are.
  [[nodiscard]] static std::chrono::seconds browserIdleWindow(
      const std::map<std::string, std::string>& environment);
};

// The server's name, as the "initialize" reply carries it.
class VarnMCP final {
 public:
  VarnMCP() = delete;

  static constexpr const char* banner = "varn-mcp";
};

}  // namespace varn::mcp
