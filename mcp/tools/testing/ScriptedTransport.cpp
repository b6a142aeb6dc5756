#include "mcp/tools/testing/ScriptedTransport.hpp"

namespace varn::mcp::fakes {

HTTPResponse ScriptedTransport::send(const HTTPRequest& request) {
  seen.push_back(request);
  if (error) std::rethrow_exception(error);
  if (responses.empty()) throw HTTPClientError("no response scripted");
  HTTPResponse response = std::move(responses.front());
  responses.pop_front();
  return response;
}

}  // namespace varn::mcp::fakes
