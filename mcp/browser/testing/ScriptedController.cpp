#include "mcp/browser/testing/ScriptedController.hpp"

namespace varn::mcp::testing {

void ScriptedController::record(const std::string& operation) {
  calls.push_back(operation);
  if (auto failure = failures.find(operation); failure != failures.end()) throw failure->second;
}

void ScriptedController::record(const std::string& operation, const std::string& arguments) {
  calls.push_back(operation + " " + arguments);
  if (auto failure = failures.find(operation); failure != failures.end()) throw failure->second;
}

bool ScriptedController::isRunning() {
  calls.emplace_back("isRunning");
  return running;
}

BrowserController::StartResult ScriptedController::start(bool headless) {
  record("start", headless ? "headless" : "headed");
  return started;
}

void ScriptedController::stop() {
  record("stop");
}

void ScriptedController::navigate(const std::string& target) {
  record("navigate", target);
}

std::string ScriptedController::currentURL() {
  record("currentURL");
  return url;
}

FieldMatch ScriptedController::locateField(FillField field,
                                           const std::optional<std::string>& selector) {
  record("locateField", std::string(toString(field)) + " " + selector.value_or("none"));
  return FieldMatch{};
}

void ScriptedController::typeIntoFocused(const std::string&) {
  record("typeIntoFocused");  // the text is a secret: never recorded
}

void ScriptedController::submitFocused() {
  record("submitFocused");
}

void ScriptedController::setIdleTimeout(std::optional<std::int64_t> seconds) {
  calls.push_back("setIdleTimeout " + (seconds ? std::to_string(*seconds) : "none"));
}

std::vector<TabInfo> ScriptedController::listTabs() {
  record("listTabs");
  return tabs;
}

void ScriptedController::activateTab(const std::string& id) {
  record("activateTab", id);
}

void ScriptedController::closeTab(const std::string& id) {
  record("closeTab", id);
}

void ScriptedController::handleDialog(bool accept, const std::optional<std::string>& promptText) {
  record("handleDialog",
         std::string(accept ? "true" : "false") + " " + promptText.value_or("none"));
}

}  // namespace varn::mcp::testing
