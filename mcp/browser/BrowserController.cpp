#include "mcp/browser/BrowserController.hpp"

#include <algorithm>
#include <utility>

namespace varn::mcp {
namespace {

const char* const kTabControl = "tab control not supported by this controller";

}  // namespace

PageShown BrowserController::shownPage(std::span<const FillField> kinds) {
  PageShown shown;
  try {
    shown.url = currentURL();
  } catch (const std::exception&) {
    // Unread: the fields still tell.
  }
  shown.anyField = std::any_of(kinds.begin(), kinds.end(), [this](FillField kind) {
    return locateField(kind, std::nullopt).count >= 1;
  });
  return shown;
}

void BrowserController::setIdleTimeout(std::optional<std::int64_t> /*seconds*/) {}

BrowserUse BrowserController::beginUse() {
  return {};
}

std::vector<TabInfo> BrowserController::listTabs() {
  throw BrowserError::cdpFailure(kTabControl);
}

void BrowserController::activateTab(const std::string& /*id*/) {
  throw BrowserError::cdpFailure(kTabControl);
}

void BrowserController::closeTab(const std::string& /*id*/) {
  throw BrowserError::cdpFailure(kTabControl);
}

void BrowserController::handleDialog(bool /*accept*/,
                                     const std::optional<std::string>& /*promptText*/) {
  throw BrowserError::cdpFailure("dialog control not supported by this controller");
}

}  // namespace varn::mcp
