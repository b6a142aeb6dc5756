#include "mcp/server/VarnMCPRuntime.hpp"

namespace varn::mcp {

int VarnMCPRuntime::main() {
  return 0;
}

}  // namespace varn::mcp
