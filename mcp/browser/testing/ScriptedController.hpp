#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mcp/browser/BrowserController.hpp"

namespace varn::mcp::fakes {

// A BrowserController that answers from fields the test sets and records every call, for the tests
// of what sits above the controller. Without `pages` it shows `url` and no field; with them it
// shows one scripted page at a time, and a submit moves to the next page when there is one. Not
// thread-safe: configure, run, then read.
class ScriptedController final : public BrowserController {
 public:
  // One visible field kind on a page.
  struct Field {
    std::int64_t count = 1;
    std::string inputType = "text";
    std::string origin;  // empty: the page's origin
  };
  struct Page {
    std::string url;
    std::string origin;
    std::map<FillField, Field> fields;
  };

  bool running = true;
  StartResult started{9223, false};
  std::string url = "https://example.com/";
  std::vector<TabInfo> tabs;
  std::vector<Page> pages;
  std::size_t current = 0;
  // What navigate answers: by default no address, so the caller reads currentURL.
  std::string navigated;
  // Operation name ("start", "navigate", "currentURL", "locate", "type", "submit", "clear",
  // "listTabs", ...) -> the error it throws.
  std::map<std::string, BrowserError> failures;
  // Every call in order: the operation's name, then its arguments after a space ("navigate
  // https://a/", "locate custom #pin", "handleDialog true ok", "setIdleTimeout none"). Typed
  // texts are secrets: they go to `typed` only.
  std::vector<std::string> calls;
  std::vector<std::string> typed;
  // The bindings of the typed texts, in order.
  std::vector<FillBinding> bindings;
  // What submit answers.
  bool submitted = true;
  // Where the last typed text lay in the caller's memory, to check that the caller wipes it.
  const char* typedBuffer = nullptr;
  std::size_t typedSize = 0;
  // Called with each call's record before it is answered (but isRunning's and setIdleTimeout's);
  // may change the pages.
  std::function<void(const std::string&)> onCall;

  bool isRunning() override;
  StartResult start(bool headless) override;
  void stop() override;
  // Answers `navigated`.
  std::string navigate(const std::string& target) override;
  std::string currentURL() override;
  FieldMatch locateField(FillField field, const std::optional<std::string>& selector) override;
  // Types only through an element that this controller's locateField handed out.
  void typeInto(const FieldMatch& match, const std::string& text,
                const FillBinding& binding) override;
  // Answers `submitted`.
  bool submit(const FieldMatch& match) override;
  void clearField(const FieldMatch& match) override;
  void setIdleTimeout(std::optional<std::int64_t> seconds) override;
  std::vector<TabInfo> listTabs() override;
  void activateTab(const std::string& id) override;
  void closeTab(const std::string& id) override;
  void handleDialog(bool accept, const std::optional<std::string>& promptText) override;

  // The calls whose record starts with `prefix`.
  [[nodiscard]] std::vector<std::string> callsOf(const std::string& prefix) const;

 private:
  // Record the call, run onCall and throw the operation's scripted failure, if any.
  void record(const std::string& operation);
  void record(const std::string& operation, const std::string& arguments);
  void recordWord(const std::string& operation, const std::string& word);
};

}  // namespace varn::mcp::fakes
