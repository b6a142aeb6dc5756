#include "api/VarnAPIClient.hpp"

#include <utility>

namespace varn::api {
namespace {

bool holdsLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

VarnAPIClient::VarnAPIClient(std::string_view baseURL, std::shared_ptr<HttpSession> session)
    : baseURL_(ServerURL::parse(baseURL)), session_(std::move(session)) {}

void VarnAPIClient::setSessionToken(std::optional<std::string> token) {
  std::lock_guard lock(mutex_);
  sessionToken_ = std::move(token);
}

std::string VarnAPIClient::request(std::string_view method, std::string_view path,
                                   const std::vector<support::QueryItem>& query,
                                   std::optional<std::string> body) {
  if (!baseURL_) throw APIError::transport(-1, "non-HTTP response");

  HttpRequest request;
  request.method = std::string(method);
  request.url = baseURL_->join(path, query);
  request.headers.reserve(2);
  request.headers.emplace_back("Content-Type", "application/json");
  {
    std::lock_guard lock(mutex_);
    if (sessionToken_) {
      // A line break would end the field and start another of the token's choosing.
      if (holdsLineBreakOrNul(*sessionToken_)) {
        throw APIError::transport(-1, "the session token holds a line break or NUL");
      }
      request.headers.emplace_back("Authorization", "Bearer " + *sessionToken_);
    }
  }
  request.body = std::move(body);

  HttpResponse response;
  try {
    response = session_->perform(request);
  } catch (const APIError&) {
    throw;
  } catch (const std::exception& error) {
    throw APIError::transport(-1, error.what());
  }
  // A session of the host's own may not cap the body; this client reads no more than its own does.
  if (response.body.size() > kMaxReplyBytes) {
    throw APIError::transport(response.status, "response too large");
  }
  if (response.status >= 200 && response.status <= 299) return std::move(response.body);
  throw APIError::from(response.status, response.body);
}

}  // namespace varn::api
