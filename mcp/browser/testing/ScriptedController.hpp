#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"

namespace varn::mcp::testing {

// A BrowserController that answers from fields the test sets and records every call, for the tests
// of what sits above the controller. Not thread-safe: one test thread drives it.
class ScriptedController final : public BrowserController {
 public:
  bool running = true;
  StartResult started{9223, false};
  std::string url = "https://example.com/";
  std::vector<TabInfo> tabs;
  // Operation name ("start", "navigate", "currentURL", "listTabs", ...) -> the error it throws.
  std::map<std::string, BrowserError> failures;
  // Every call in order: the operation's name, then its arguments after a space ("navigate
  // https://a/", "handleDialog true ok", "setIdleTimeout none").
  std::vector<std::string> calls;

  bool isRunning() override;
  StartResult start(bool headless) override;
  void stop() override;
  void navigate(const std::string& target) override;
  std::string currentURL() override;
  FieldMatch locateField(FillField field, const std::optional<std::string>& selector) override;
  void typeIntoFocused(const std::string& text) override;
  void submitFocused() override;
  void setIdleTimeout(std::optional<std::int64_t> seconds) override;
  std::vector<TabInfo> listTabs() override;
  void activateTab(const std::string& id) override;
  void closeTab(const std::string& id) override;
  void handleDialog(bool accept, const std::optional<std::string>& promptText) override;

 private:
  // Records the call and throws its scripted failure, if any.
  void record(const std::string& operation);
  void record(const std::string& operation, const std::string& arguments);
};

}  // namespace varn::mcp::testing
