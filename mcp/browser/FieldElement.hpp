#pragma once

#include <memory>
#include <string>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/CDPConnection.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// The element a CDPBrowserController field search handed out, as its typing and submit find it
// again: its remote object in the controller's isolated world, the session that holds it, and
// what the fill was checked against. Immutable once handed out.
struct LocatedElement final : FieldHandle {
  std::weak_ptr<CDPConnection> connection;
  std::string targetId;
  std::string sessionId;
  std::string objectId;
  FillField field = FillField::username;
  std::string origin;
  std::string pageURL;
};

// The element of a match that a CDPBrowserController located; cdpFailure("no focused field") for
// a match without one.
[[nodiscard]] const LocatedElement& elementOf(const FieldMatch& match);

// A page script's answer in a Runtime.callFunctionOn reply: the object it returned (by value, as
// JSON text, or as the plain members of a deep serialization), else an empty object.
[[nodiscard]] support::Json scriptAnswer(const support::Json& reply);

// Whether a failed command means a deadline passed (the page did not answer in time).
[[nodiscard]] bool isTimeout(const BrowserError& error);

}  // namespace varn::mcp
