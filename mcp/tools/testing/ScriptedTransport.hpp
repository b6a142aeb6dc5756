#pragma once

#include <deque>
#include <exception>
#include <vector>

#include "mcp/tools/HTTPTransport.hpp"

namespace varn::mcp::fakes {

// Serves scripted responses in order and records every request as the tool sent it (with the
// header values it had at sending time). With `error` set, every call throws it instead; with no
// response left, a call throws HTTPClientError("no response scripted"). Not thread-safe.
class ScriptedTransport final : public HTTPTransport {
 public:
  std::deque<HTTPResponse> responses;
  std::vector<HTTPRequest> seen;
  std::exception_ptr error;

  HTTPResponse send(const HTTPRequest& request) override;
};

}  // namespace varn::mcp::fakes
