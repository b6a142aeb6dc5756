#include "api/core/HttpSession.hpp"

#include <algorithm>

#include "api/core/APIError.hpp"

namespace varn::api {
namespace {

support::CurlSettings sessionSettings(std::chrono::milliseconds requestDeadline) {
  support::CurlSettings settings;
  settings.connectTimeout = std::chrono::seconds(60);
  settings.stallTimeout = std::chrono::seconds(60);
  // Zero would mean no limit at all.
  settings.deadline = std::max(requestDeadline, std::chrono::milliseconds(1));
  settings.maxRedirects = 16;
  settings.cookieJar = true;
  settings.maxBodyBytes = kMaxReplyBytes;
  return settings;
}

}  // namespace

CurlHttpSession::CurlHttpSession(std::chrono::milliseconds requestDeadline)
    : curl_(sessionSettings(requestDeadline)) {}

HttpResponse CurlHttpSession::perform(const HttpRequest& request) {
  support::CurlResponse response;
  try {
    response = curl_.perform({request.url, request.method, request.headers, request.body});
  } catch (const support::CurlError& error) {
    throw APIError::transport(-1, error.what());
  }
  if (response.bodyTooLarge) throw APIError::transport(response.status, "response too large");
  return {response.status, std::move(response.body)};
}

}  // namespace varn::api
