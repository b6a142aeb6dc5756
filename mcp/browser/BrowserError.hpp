#pragma once

// The failure of the browser layer, and the fillable credential fields it names.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "support/JsonRecord.hpp"

namespace varn::mcp {

// A credential field that can be filled. Its text is the raw value: "username", "password",
// "otp", "custom"; in JSON it is one string holding that text.
enum class FillField { username, password, otp, custom };

constexpr auto jsonEnumTexts(FillField) {
  return support::EnumTexts<FillField, 4>{{{
      {FillField::username, "username"},
      {FillField::password, "password"},
      {FillField::otp, "otp"},
      {FillField::custom, "custom"},
  }}};
}

[[nodiscard]] std::string_view toString(FillField field) noexcept;

// The closed value sets read from their exact texts: case-sensitive, nothing trimmed; any other
// text gives nullopt.
template <typename E>
[[nodiscard]] std::optional<E> fromString(std::string_view text) noexcept;
template <>
[[nodiscard]] std::optional<FillField> fromString<FillField>(std::string_view text) noexcept;

// The failure of the browser layer. what() is the exact text the agent reads after "error: ".
// Equal when the case and every payload are equal.
class BrowserError : public std::exception {
 public:
  enum class Case {
    fieldNotFound,
    ambiguousField,
    concealedFieldRequired,
    itemHasNoURL,
    originMismatch,
    cdpFailure,
    launchFailure,
    noBrowser,
    fieldChanged,
    opaqueOrigin,
    submitRefused,
    dialogOpen,
    callTooLong,
    timedOut,
  };

  // "no <field> field found on <pageURL> — is the right tab active? (browser_tabs lists them)",
  // or "no <field> field found on the page" when pageURL is empty.
  static BrowserError fieldNotFound(FillField field, std::string pageURL);
  // "<count> <field> fields match — disambiguate with a selector".
  static BrowserError ambiguousField(FillField field, std::int64_t count);
  // "refusing to type a password into a visible input (type=<inputType>) — passwords only go into
  // input[type=password]".
  static BrowserError concealedFieldRequired(std::string inputType);
  // "<ref> has no url or allowed_hosts to origin-lock the fill onto — set one with
  // secret_update(url:) or secret_update(allowed_hosts:)".
  static BrowserError itemHasNoURL(std::string ref);
  // "origin mismatch — the page is <frame> but the credential is locked to <item>; the value was
  // NOT filled": the text names the page first although `item` is the first payload.
  static BrowserError originMismatch(std::string item, std::string frame);
  // "browser (CDP) failure: <message>".
  static BrowserError cdpFailure(std::string message);
  // "browser launch failure: <message>".
  static BrowserError launchFailure(std::string message);
  // "no Varn browser is running — call browser_start first".
  static BrowserError noBrowser();
  // "nothing was typed: <what> since the field was located" (what: e.g. "the field lost the
  // focus").
  static BrowserError fieldChanged(std::string what);
  // "refusing to fill a field in a document with an opaque origin (a sandboxed frame or a
  // sandboxing Content-Security-Policy) on <frame>".
  static BrowserError opaqueOrigin(std::string frame);
  // "not submitted: <reason>; the typed value was cleared from the field".
  static BrowserError submitRefused(std::string reason);
  // "a JavaScript <type> dialog is open on the page: \"<message>\" — answer it with
  // browser_dialog first".
  static BrowserError dialogOpen(std::string type, std::string message);
  // "the browser did not finish within <seconds> s (waiting for <what>) — the page may be stuck".
  static BrowserError callTooLong(std::int64_t seconds, std::string what);
  // "browser (CDP) failure: timed out waiting for <method>": a DevTools command whose deadline
  // passed without a reply. The text is that of a cdpFailure, so the agent reads no difference;
  // callers tell the case apart.
  static BrowserError timedOut(std::string method);

  Case errorCase() const noexcept { return case_; }
  // The field of fieldNotFound and ambiguousField (username otherwise).
  FillField field() const noexcept { return field_; }
  // The count of ambiguousField (0 otherwise).
  std::int64_t count() const noexcept { return count_; }
  // The text payload: the pageURL of fieldNotFound, the inputType of concealedFieldRequired, the
  // ref of itemHasNoURL, the item of originMismatch, the message of cdpFailure and launchFailure,
  // the change of fieldChanged, the frame of opaqueOrigin, the reason of submitRefused, the type
  // of dialogOpen, the awaited step of callTooLong, the method of timedOut; empty otherwise.
  const std::string& text() const noexcept { return text_; }
  // The frame origin of originMismatch, the message of dialogOpen; empty otherwise.
  const std::string& frame() const noexcept { return frame_; }

  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const BrowserError& other) const noexcept {
    return case_ == other.case_ && field_ == other.field_ && count_ == other.count_ &&
           text_ == other.text_ && frame_ == other.frame_;
  }

 private:
  BrowserError(Case errorCase, FillField field, std::int64_t count, std::string text,
               std::string frame, std::string description);

  Case case_;
  FillField field_;
  std::int64_t count_;
  std::string text_;
  std::string frame_;
  std::string description_;
};

}  // namespace varn::mcp
