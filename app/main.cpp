#include "mcp/server/VarnMCPRuntime.hpp"

int main() {
  return varn::mcp::VarnMCPRuntime::main();
}
