#include "mcp/tools/HttpCallTool.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "mcp/tools/InjectionGuard.hpp"
#include "support/Ascii.hpp"
#include "support/Utf8.hpp"
#include "support/Wipe.hpp"

namespace varn::mcp {
namespace {

using support::wipe;

constexpr std::chrono::seconds kRequestTimeout{60};

// RFC 9110 token: one or more of the visible characters that are not delimiters.
bool isToken(std::string_view text) {
  static constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return support::isAsciiAlnum(c) || kMarks.find(c) != std::string_view::npos;
  });
}

bool breaksAHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The request's fields, each name at most once in any letter case, found without a scan.
class Fields {
 public:
  explicit Fields(std::vector<std::pair<std::string, std::string>>& fields) : fields_(fields) {}

  // Sets a field, replacing one of the same name in any letter case.
  void set(const std::string& name, std::string value) {
    const auto [place, added] = places_.try_emplace(support::asciiLower(name), fields_.size());
    if (added) {
      fields_.emplace_back(name, std::move(value));
    } else {
      fields_[place->second] = {name, std::move(value)};
    }
  }
  // Whether a field of this name, given in lower case, is set.
  [[nodiscard]] bool has(const std::string& lowerName) const { return places_.contains(lowerName); }

 private:
  std::vector<std::pair<std::string, std::string>>& fields_;
  std::unordered_map<std::string, std::size_t> places_;  // lower-cased name to index in fields_
};

}  // namespace

HttpCallTool::HttpCallTool(const ToolServices& services, std::string name)
    : name_(std::move(name)),
      resolver_(services.resolver),
      transport_(services.transport),
      allowUnbound_(services.allowUnboundHttp) {}

HttpCallOutput HttpCallTool::run(const Input& input) const {
  std::optional<HTTPURL> url = HTTPURL::parse(input.url);
  if (!url) throw ToolError::invalidArguments("invalid url");

  // libcurl would send CR and LF raw, letting an argument smuggle extra fields or requests.
  if (!isToken(input.method)) throw ToolError::invalidArguments("method must be an HTTP token");
  HTTPRequest request{*url, input.method, {}, input.body, kRequestTimeout};
  Fields fields(request.headers);
  if (input.headers) {
    for (const auto& [name, value] : *input.headers) {
      if (!isToken(name)) throw ToolError::invalidArguments("header names must be HTTP tokens");
      if (breaksAHeader(value)) {
        throw ToolError::invalidArguments("header values must not contain CR, LF or NUL");
      }
      fields.set(name, value);
    }
  }

  bool injected = false;
  if (input.auth_ref) {
    const std::optional<std::string>& host = url->host();
    if (!host) {
      throw ToolError::invalidArguments("url has no host to bind the credential against");
    }
    // A shared front end routes by Host: another value would carry the credential to another
    // tenant behind the bound address.
    if (fields.has("host")) {
      throw ToolError::invalidArguments(
          "the Host header cannot be set when a credential is injected");
    }
    const std::string scheme = input.auth_scheme.value_or("Bearer");
    if (breaksAHeader(scheme)) {
      throw ToolError::invalidArguments("auth_scheme must not contain CR, LF or NUL");
    }
    ResolvedSecret secret = resolver_->resolveSecret(*input.auth_ref, name_, *host);
    try {
      InjectionGuard::checkHost(secret, *host, *input.auth_ref, name_, allowUnbound_);
    } catch (...) {
      wipe(secret.value);
      throw;
    }
    if (breaksAHeader(secret.value)) {
      wipe(secret.value);
      throw ToolError::upstream(
          "the credential's value contains CR, LF or NUL and cannot be sent in a header");
    }
    fields.set("Authorization", scheme.empty() ? secret.value : scheme + " " + secret.value);
    wipe(secret.value);
    injected = true;
  }

  HTTPResponse response;
  try {
    response = transport_->send(request);
  } catch (...) {
    for (auto& field : request.headers) wipe(field.second);
    throw;
  }
  for (auto& field : request.headers) wipe(field.second);
  // Whatever the transport, no reply grows past the cap.
  if (response.body.size() > HTTPTransport::kMaxBodyBytes) {
    throw ToolError::upstream("response body exceeds the 1 MiB limit");
  }

  const bool textBody = support::isValidUtf8(response.body);
  HttpCallOutput output;
  output.status = response.status;
  if (injected) {
    output.body = textBody && !response.body.empty() ? std::string(suppressedBody) : "";
    return output;
  }
  for (const auto& [name, value] : response.headers) {
    if (!support::isValidUtf8(name) || !support::isValidUtf8(value)) continue;
    output.headers[name] = scrubber_.scrub(value);
  }
  output.body = textBody ? scrubber_.scrub(response.body) : "";
  return output;
}

}  // namespace varn::mcp
