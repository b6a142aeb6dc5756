// The field operations of CDPBrowserController: locating a credential field in the page and its
// frames, typing into the focused one and submitting its form.

#include "mcp/browser/CDPBrowserController.hpp"

namespace varn::mcp {

FieldMatch CDPBrowserController::locateField(FillField, const std::optional<std::string>&) {
  throw BrowserError::cdpFailure("field operations not available");
}

void CDPBrowserController::typeIntoFocused(const std::string&) {
  throw BrowserError::cdpFailure("field operations not available");
}

void CDPBrowserController::submitFocused() {
  throw BrowserError::cdpFailure("field operations not available");
}

}  // namespace varn::mcp
