#pragma once

#include <string>

namespace varn::mcp {

// How the resolve road asks a human to approve the release of one secret.
// requestApproval blocks until the human answers or the implementation gives up, and returns true
// when the release was approved and false when it was refused. It may throw (the stdio
// implementation throws ResolveError::approvalTimeout when no answer arrives in time); the road
// treats any thrown error as a missed approval. Implementations must be safe to call from several
// threads at once: several approvals may wait at the same time.
class Elicitor {
 public:
  virtual ~Elicitor() = default;

  // `ref` is the reference as the tool received it; `operation` is the name of the asking tool.
  virtual bool requestApproval(const std::string& ref, const std::string& operation) = 0;
};

}  // namespace varn::mcp
