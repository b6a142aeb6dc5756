#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace varn::api {

// The one error of the sync-server client. Every operation of VarnAPIClient throws only this.
// Two errors are equal when case and every payload are equal. The payloads are the whole report;
// what() prints them as the case name with its payloads (for logs and tests), and never holds the
// session token.
class APIError : public std::exception {
 public:
  enum class Case {
    unauthorized,  // 401
    forbidden,     // 403
    notFound,      // 404
    conflict,      // 409, with the server's current revision
    validation,    // 422
    rateLimited,   // 429
    server,        // 500
    transport,     // any other status; a failed exchange or a reply that is not HTTP (status -1)
    decoding,      // a body that did not encode, a reply that did not decode, a rejected value
  };

  static APIError unauthorized(std::string message) {
    return {Case::unauthorized, 0, 0, std::move(message)};
  }
  static APIError forbidden(std::string message) {
    return {Case::forbidden, 0, 0, std::move(message)};
  }
  static APIError notFound(std::string message) {
    return {Case::notFound, 0, 0, std::move(message)};
  }
  static APIError conflict(std::int64_t currentRevision) {
    return {Case::conflict, 0, currentRevision, {}};
  }
  static APIError validation(std::string message) {
    return {Case::validation, 0, 0, std::move(message)};
  }
  static APIError rateLimited(std::string message) {
    return {Case::rateLimited, 0, 0, std::move(message)};
  }
  static APIError server(std::string message) { return {Case::server, 0, 0, std::move(message)}; }
  static APIError transport(int status, std::string message) {
    return {Case::transport, status, 0, std::move(message)};
  }
  static APIError decoding(std::string message) {
    return {Case::decoding, 0, 0, std::move(message)};
  }

  // Maps a status outside 200-299 and its reply body to a case. The body is read as the server's
  // envelope {"error": {"code": text, "message": text}, "current_revision": integer}; a body that
  // is not such an envelope (empty, not JSON, "code" or "message" missing or not text) gives the
  // empty message and no revision. 401, 403, 404, 422, 429 and 500 give their cases with the
  // envelope's message; 409 gives conflict with "current_revision" (0 when absent); every other
  // status gives transport with that status and the message. Never throws.
  [[nodiscard]] static APIError from(int status, std::string_view body);

  [[nodiscard]] Case errorCase() const noexcept { return case_; }
  // The message of every case but conflict (empty there).
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // The status of transport (0 elsewhere).
  [[nodiscard]] int status() const noexcept { return status_; }
  // The revision of conflict (0 elsewhere).
  [[nodiscard]] std::int64_t currentRevision() const noexcept { return currentRevision_; }

  // notFound(message: "no such item"), conflict(currentRevision: 7),
  // transport(status: 503, message: "down"), decoding("...").
  const char* what() const noexcept override { return printed_.c_str(); }

  bool operator==(const APIError& other) const noexcept {
    return case_ == other.case_ && status_ == other.status_ &&
           currentRevision_ == other.currentRevision_ && message_ == other.message_;
  }

 private:
  APIError(Case errorCase, int status, std::int64_t currentRevision, std::string message);

  Case case_;
  int status_;
  std::int64_t currentRevision_;
  std::string message_;
  std::string printed_;
};

}  // namespace varn::api
