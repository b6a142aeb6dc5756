#include "mcp/browser/BrowserError.hpp"

#include <utility>

namespace varn::mcp {

std::string_view toString(FillField field) noexcept {
  return jsonEnumTexts(field).toString(field);
}

template <>
std::optional<FillField> fromString<FillField>(std::string_view text) noexcept {
  return jsonEnumTexts(FillField{}).fromString(text);
}

BrowserError::BrowserError(Case errorCase, FillField field, std::int64_t count, std::string text,
                           std::string frame, std::string description)
    : case_(errorCase),
      field_(field),
      count_(count),
      text_(std::move(text)),
      frame_(std::move(frame)),
      description_(std::move(description)) {}

BrowserError BrowserError::fieldNotFound(FillField field, std::string pageURL) {
  std::string name(toString(field));
  std::string description = pageURL.empty()
                                ? "no " + name + " field found on the page"
                                : "no " + name + " field found on " + pageURL +
                                      " \u2014 is the right tab active? (browser_tabs lists them)";
  return BrowserError(Case::fieldNotFound, field, 0, std::move(pageURL), "",
                      std::move(description));
}

BrowserError BrowserError::ambiguousField(FillField field, std::int64_t count) {
  return BrowserError(Case::ambiguousField, field, count, "", "",
                      std::to_string(count) + " " + std::string(toString(field)) +
                          " fields match \u2014 disambiguate with a selector");
}

BrowserError BrowserError::concealedFieldRequired(std::string inputType) {
  std::string description = "refusing to type a password into a visible input (type=" + inputType +
                            ") \u2014 passwords only go into input[type=password]";
  return BrowserError(Case::concealedFieldRequired, FillField::username, 0, std::move(inputType),
                      "", std::move(description));
}

BrowserError BrowserError::itemHasNoURL(std::string ref) {
  std::string description = ref +
                            " has no url or allowed_hosts to origin-lock the fill onto \u2014 set "
                            "one with secret_update(url:) or secret_update(allowed_hosts:)";
  return BrowserError(Case::itemHasNoURL, FillField::username, 0, std::move(ref), "",
                      std::move(description));
}

BrowserError BrowserError::originMismatch(std::string item, std::string frame) {
  std::string description = "origin mismatch \u2014 the page is " + frame +
                            " but the credential is locked to " + item +
                            "; the value was NOT filled";
  return BrowserError(Case::originMismatch, FillField::username, 0, std::move(item),
                      std::move(frame), std::move(description));
}

BrowserError BrowserError::cdpFailure(std::string message) {
  std::string description = "browser (CDP) failure: " + message;
  return BrowserError(Case::cdpFailure, FillField::username, 0, std::move(message), "",
                      std::move(description));
}

BrowserError BrowserError::launchFailure(std::string message) {
  std::string description = "browser launch failure: " + message;
  return BrowserError(Case::launchFailure, FillField::username, 0, std::move(message), "",
                      std::move(description));
}

BrowserError BrowserError::noBrowser() {
  return BrowserError(Case::noBrowser, FillField::username, 0, "", "",
                      "no Varn browser is running \u2014 call browser_start first");
}

BrowserError BrowserError::fieldChanged(std::string what) {
  std::string description = "nothing was typed: " + what + " since the field was located";
  return BrowserError(Case::fieldChanged, FillField::username, 0, std::move(what), "",
                      std::move(description));
}

BrowserError BrowserError::opaqueOrigin(std::string frame) {
  std::string description =
      "refusing to fill a field in a document with an opaque origin (a sandboxed frame or a "
      "sandboxing Content-Security-Policy) on " +
      frame;
  return BrowserError(Case::opaqueOrigin, FillField::username, 0, std::move(frame), "",
                      std::move(description));
}

BrowserError BrowserError::submitRefused(std::string reason) {
  std::string description =
      "not submitted: " + reason + "; the typed value was cleared from the field";
  return BrowserError(Case::submitRefused, FillField::username, 0, std::move(reason), "",
                      std::move(description));
}

BrowserError BrowserError::dialogOpen(std::string type, std::string message) {
  std::string description = "a JavaScript " + type + " dialog is open on the page: \"" + message +
                            "\" \u2014 answer it with browser_dialog first";
  return BrowserError(Case::dialogOpen, FillField::username, 0, std::move(type), std::move(message),
                      std::move(description));
}

BrowserError BrowserError::callTooLong(std::int64_t seconds, std::string what) {
  std::string description = "the browser did not finish within " + std::to_string(seconds) +
                            " s (waiting for " + what + ") \u2014 the page may be stuck";
  return BrowserError(Case::callTooLong, FillField::username, 0, std::move(what), "",
                      std::move(description));
}

BrowserError BrowserError::timedOut(std::string method) {
  std::string description = "browser (CDP) failure: timed out waiting for " + method;
  return BrowserError(Case::timedOut, FillField::username, 0, std::move(method), "",
                      std::move(description));
}

}  // namespace varn::mcp
