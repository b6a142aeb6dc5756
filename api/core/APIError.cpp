#include "api/core/APIError.hpp"

#include <optional>

#include "support/JsonRecord.hpp"
#include "support/Utf8.hpp"

namespace varn::api {
namespace {

const char* caseName(APIError::Case errorCase) {
  switch (errorCase) {
    case APIError::Case::unauthorized:
      return "unauthorized";
    case APIError::Case::forbidden:
      return "forbidden";
    case APIError::Case::notFound:
      return "notFound";
    case APIError::Case::conflict:
      return "conflict";
    case APIError::Case::validation:
      return "validation";
    case APIError::Case::rateLimited:
      return "rateLimited";
    case APIError::Case::server:
      return "server";
    case APIError::Case::transport:
      return "transport";
    case APIError::Case::decoding:
      return "decoding";
  }
  return "unknown";
}

std::string printed(APIError::Case errorCase, int status, std::int64_t revision,
                    const std::string& message) {
  std::string out = std::string(caseName(errorCase)) + "(";
  switch (errorCase) {
    case APIError::Case::conflict:
      out += "currentRevision: " + std::to_string(revision);
      break;
    case APIError::Case::transport:
      out += "status: " + std::to_string(status) + ", message: " + support::quotedPayload(message);
      break;
    case APIError::Case::decoding:
      out += support::quotedPayload(message);
      break;
    default:
      out += "message: " + support::quotedPayload(message);
  }
  return out + ")";
}

// The server's error envelope; anything else in the body is ignored.
struct EnvelopeError {
  std::string code;  // read, never used
  std::string message;
};
VARN_JSON_RECORD(EnvelopeError, "error", VARN_JSON_FIELD(code), VARN_JSON_FIELD(message));

struct Envelope {
  EnvelopeError error;
  std::optional<std::int64_t> current_revision;
};
VARN_JSON_RECORD(Envelope, "envelope", VARN_JSON_FIELD(error), VARN_JSON_FIELD(current_revision));

std::optional<Envelope> readEnvelope(std::string_view body) {
  std::optional<support::Json> json = support::parseJson(body);
  if (!json) return std::nullopt;
  try {
    return support::decodeRecord<Envelope>(*json);
  } catch (const support::JsonDecodeError&) {
    return std::nullopt;
  }
}

}  // namespace

APIError::APIError(Case errorCase, int status, std::int64_t currentRevision, std::string message)
    : case_(errorCase),
      status_(status),
      currentRevision_(currentRevision),
      message_(std::move(message)),
      printed_(printed(case_, status_, currentRevision_, message_)) {}

APIError APIError::from(int status, std::string_view body) {
  std::optional<Envelope> envelope = readEnvelope(body);
  std::string message = envelope ? std::move(envelope->error.message) : std::string();
  switch (status) {
    case 401:
      return unauthorized(std::move(message));
    case 403:
      return forbidden(std::move(message));
    case 404:
      return notFound(std::move(message));
    case 409:
      return conflict(envelope ? envelope->current_revision.value_or(0) : 0);
    case 422:
      return validation(std::move(message));
    case 429:
      return rateLimited(std::move(message));
    case 500:
      return server(std::move(message));
    default:
      return transport(status, std::move(message));
  }
}

}  // namespace varn::api
