#include "mcp/browser/testing/ScriptedController.hpp"

#include <algorithm>
#include <iterator>

namespace varn::mcp::fakes {

void ScriptedController::record(const std::string& operation) {
  recordWord(operation, operation);
}

void ScriptedController::record(const std::string& operation, const std::string& arguments) {
  recordWord(operation, operation + " " + arguments);  // an empty argument keeps its space
}

void ScriptedController::recordWord(const std::string& operation, const std::string& word) {
  calls.push_back(word);
  if (onCall) onCall(word);
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

std::string ScriptedController::navigate(const std::string& target) {
  record("navigate", target);
  return navigated;
}

std::string ScriptedController::currentURL() {
  record("currentURL");
  if (pages.empty()) return url;
  return current < pages.size() ? pages[current].url : std::string();
}

namespace {

// The element a scripted locate handed out: its kind.
struct ScriptedElement final : FieldHandle {
  explicit ScriptedElement(FillField kind) : field(kind) {}
  FillField field;
};

std::string kindOf(const FieldMatch& match) {
  const auto* element = dynamic_cast<const ScriptedElement*>(match.element.get());
  if (element == nullptr) throw BrowserError::cdpFailure("no focused field");
  return std::string(toString(element->field));
}

}  // namespace

FieldMatch ScriptedController::locateField(FillField field,
                                           const std::optional<std::string>& selector) {
  const std::string kind(toString(field));
  if (selector) {
    record("locate", kind + " " + *selector);
  } else {
    record("locate", kind);
  }
  if (current >= pages.size()) return FieldMatch{};
  const Page& page = pages[current];
  const auto found = page.fields.find(field);
  FieldMatch match;
  match.pageURL = page.url;
  if (found == page.fields.end() || found->second.count == 0) return match;
  const Field& shown = found->second;
  match.count = shown.count;
  match.inputType = shown.inputType;
  match.frameOrigin = shown.origin.empty() ? page.origin : shown.origin;
  match.focused = shown.count == 1;
  if (match.focused) match.element = std::make_shared<ScriptedElement>(field);
  return match;
}

void ScriptedController::typeInto(const FieldMatch& match, const std::string& text,
                                  const FillBinding& binding) {
  record("type", kindOf(match));
  typed.push_back(text);
  bindings.push_back(binding);
  typedBuffer = text.data();
  typedSize = text.size();
}

bool ScriptedController::submit(const FieldMatch& match) {
  record("submit", kindOf(match));
  if (current + 1 < pages.size()) ++current;
  return submitted;
}

void ScriptedController::clearField(const FieldMatch& match) {
  record("clear", kindOf(match));
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

std::vector<std::string> ScriptedController::callsOf(const std::string& prefix) const {
  std::vector<std::string> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [&](const std::string& word) { return word.rfind(prefix, 0) == 0; });
  return out;
}

}  // namespace varn::mcp::fakes
