#include "mcp/tools/HttpCallTool.hpp"

#include <algorithm>
#include <chrono>

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

// Sets a field, replacing one of the same name in any letter case.
void setField(std::vector<std::pair<std::string, std::string>>& fields, const std::string& name,
              std::string value) {
  auto same = std::find_if(fields.begin(), fields.end(), [&](const auto& field) {
    return support::equalsIgnoringAsciiCase(field.first, name);
  });
  if (same != fields.end()) {
    *same = {name, std::move(value)};
  } else {
    fields.emplace_back(name, std::move(value));
  }
}

}  // namespace

HttpCallInput HttpCallInput::fromJson(const support::Json& object) {
  support::requireObject(object, "arguments");
  return HttpCallInput{support::requireString(object, "url"),
                       support::requireString(object, "method"),
                       support::optionalStringMap(object, "headers"),
                       support::optionalString(object, "body"),
                       support::optionalString(object, "auth_ref"),
                       support::optionalString(object, "auth_scheme")};
}

support::OrderedJson HttpCallInput::toJson() const {
  support::OrderedJson out = support::OrderedJson::object();
  out["url"] = url;
  out["method"] = method;
  support::putOptional(out, "headers", headers);
  support::putOptional(out, "body", body);
  support::putOptional(out, "auth_ref", auth_ref);
  support::putOptional(out, "auth_scheme", auth_scheme);
  return out;
}

HttpCallOutput HttpCallOutput::fromJson(const support::Json& object) {
  support::requireObject(object, "output");
  auto headers = support::optionalStringMap(object, "headers");
  if (!headers) support::throwMissing("headers");
  return HttpCallOutput{support::requireInt64(object, "status"), std::move(*headers),
                        support::requireString(object, "body")};
}

support::OrderedJson HttpCallOutput::toJson() const {
  support::OrderedJson out = support::OrderedJson::object();
  out["status"] = status;
  out["headers"] = support::OrderedJson::object();
  for (const auto& [name, value] : headers) out["headers"][name] = value;
  out["body"] = body;
  return out;
}

HttpCallTool::HttpCallTool(std::shared_ptr<ResolveService> resolver, Scrubber scrubber,
                           std::shared_ptr<HTTPTransport> transport, bool allowUnbound)
    : resolver_(std::move(resolver)),
      scrubber_(scrubber),
      transport_(std::move(transport)),
      allowUnbound_(allowUnbound) {}

HttpCallOutput HttpCallTool::run(const Input& input) const {
  std::optional<HTTPURL> url = HTTPURL::parse(input.url);
  if (!url) throw ToolError::invalidArguments("invalid url");

  // libcurl would send CR and LF raw, letting an argument smuggle extra fields or requests.
  if (!isToken(input.method)) throw ToolError::invalidArguments("method must be an HTTP token");
  HTTPRequest request{*url, input.method, {}, input.body, kRequestTimeout};
  if (input.headers) {
    for (const auto& [name, value] : *input.headers) {
      if (!isToken(name)) throw ToolError::invalidArguments("header names must be HTTP tokens");
      if (breaksAHeader(value)) {
        throw ToolError::invalidArguments("header values must not contain CR, LF or NUL");
      }
      setField(request.headers, name, value);
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
    if (std::any_of(request.headers.begin(), request.headers.end(), [](const auto& field) {
          return support::equalsIgnoringAsciiCase(field.first, "Host");
        })) {
      throw ToolError::invalidArguments(
          "the Host header cannot be set when a credential is injected");
    }
    const std::string scheme = input.auth_scheme.value_or("Bearer");
    if (breaksAHeader(scheme)) {
      throw ToolError::invalidArguments("auth_scheme must not contain CR, LF or NUL");
    }
    ResolvedSecret secret = resolver_->resolveSecret(*input.auth_ref, "http_call", *host);
    try {
      InjectionGuard::checkHost(secret, *host, *input.auth_ref, allowUnbound_);
    } catch (...) {
      wipe(secret.value);
      throw;
    }
    if (breaksAHeader(secret.value)) {
      wipe(secret.value);
      throw ToolError::upstream(
          "the credential's value contains CR, LF or NUL and cannot be sent in a header");
    }
    setField(request.headers, "Authorization",
             scheme.empty() ? secret.value : scheme + " " + secret.value);
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
