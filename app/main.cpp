#include "mcp/server/VarnMCPRuntime.hpp"

int main(int argc, char** argv) {
  return varn::mcp::VarnMCPRuntime::main(argc, argv);
}
