#pragma once

namespace varn::mcp {

// The agent-access server's one entry point: builds every service, serves MCP on standard input
// and output until end of input, and returns the process exit status.
class VarnMCPRuntime {
 public:
  static int main();
};

}  // namespace varn::mcp
