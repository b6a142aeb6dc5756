#pragma once

namespace varn::mcp {

// The agent-access server's one entry point: builds every service once, serves MCP on standard
// input and output until end of input, and returns the process exit status (0). SIGTERM and
// SIGINT end the process at any time with status 128 plus the signal number; replies still
// pending are lost. Call once per process, before any other thread is started: it changes the
// process's signal mask and dispositions.
class VarnMCPRuntime final {
 public:
  VarnMCPRuntime() = delete;

  // `argc` and `argv` as main() received them; the program name is dropped.
  static int main(int argc, char** argv);
};

// The server's name, as the "initialize" reply carries it.
class VarnMCP final {
 public:
  VarnMCP() = delete;

  static constexpr const char* banner = "varn-mcp";
};

}  // namespace varn::mcp
