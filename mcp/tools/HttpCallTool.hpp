#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/tools/HTTPTransport.hpp"
#include "mcp/tools/Scrubber.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

class ResolveService;

// Arguments of http_call. JSON keys are the field names; "url" and "method" are required, the
// others optional (absent or null means absent). At most kMaxHeaders header fields.
struct HttpCallInput {
  static constexpr std::size_t kMaxHeaders = 256;

  std::string url;
  std::string method;
  std::optional<std::map<std::string, std::string>> headers = std::nullopt;
  std::optional<std::string> body = std::nullopt;
  std::optional<std::string> auth_ref =
      std::nullopt;  // a secret reference or minted handle to inject
  std::optional<std::string> auth_scheme =
      std::nullopt;  // the word before the value; "Bearer" when absent

  bool operator==(const HttpCallInput&) const = default;
};
VARN_JSON_RECORD(HttpCallInput, "arguments", VARN_JSON_FIELD(url), VARN_JSON_FIELD(method),
                 VARN_JSON_FIELD(headers).atMost(HttpCallInput::kMaxHeaders), VARN_JSON_FIELD(body),
                 VARN_JSON_FIELD(auth_ref), VARN_JSON_FIELD(auth_scheme));

// Result of http_call; every key always present.
struct HttpCallOutput {
  std::int64_t status = 0;
  // The response's fields with their values scrubbed; empty when a credential was injected.
  std::map<std::string, std::string> headers;
  // The body text scrubbed, or the suppression text, or empty.
  std::string body;

  bool operator==(const HttpCallOutput&) const = default;
};
VARN_JSON_RECORD(HttpCallOutput, "output", VARN_JSON_FIELD(status), VARN_JSON_FIELD(headers),
                 VARN_JSON_FIELD(body));

// http_call: one outbound HTTP request, optionally with a stored credential put into its
// Authorization field by the server under the credential's host binding. Nothing that could carry
// the value back is returned: after an injection the response fields are dropped and a non-empty
// body is replaced by `suppressedBody`; otherwise fields and body come back scrubbed.
//
// An immutable value; run may be called from many threads at once. `resolver` and `transport`
// must not be null and are shared.
class HttpCallTool final {
 public:
  using Input = HttpCallInput;
  using Output = HttpCallOutput;

  static constexpr std::string_view suppressedBody =
      "[REDACTED: response body suppressed because auth_ref was injected]";

  // Over the resolve service and the transport of `services`, injecting unbound credentials as
  // `allowUnboundHttp` says; `name` is the tool's, under which the resolve road asks and audits.
  HttpCallTool(const ToolServices& services, std::string name);

  // Sends the request once and returns the response as described above. Blocks for a possible
  // approval and for the exchange. Throws, before anything is resolved or sent:
  //   ToolError::invalidArguments("invalid url") when the url does not parse;
  //   ToolError::invalidArguments("method must be an HTTP token"),
  //     ("header names must be HTTP tokens"), ("header values must not contain CR, LF or NUL"),
  //     ("auth_scheme must not contain CR, LF or NUL") for text that would break the request;
  //   ToolError::invalidArguments("url has no host to bind the credential against") when
  //     auth_ref is given and the url has no host;
  //   ToolError::invalidArguments("the Host header cannot be set when a credential is injected")
  //     when auth_ref is given with a Host field (any letter case) among the headers.
  // Then passes on unchanged the resolve road's errors (ResolveError, VarnRefError, the vault
  // client's ToolError) and the guard's refusals (ResolveError::unbound, destinationNotAllowed),
  // nothing sent in either case; throws ToolError::upstream("the credential's value contains CR,
  // LF or NUL and cannot be sent in a header") without sending; and passes on the transport's
  // errors (HTTPClientError, ToolError::upstream for non-HTTP and oversized responses). An HTTP
  // error status is no failure.
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::string name_;
  std::shared_ptr<ResolveService> resolver_;
  Scrubber scrubber_;
  std::shared_ptr<HTTPTransport> transport_;
  bool allowUnbound_;
};

}  // namespace varn::mcp
