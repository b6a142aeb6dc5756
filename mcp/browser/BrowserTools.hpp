#pragma once

// The browser tools that drive the managed browser through the controller (browser_start,
// browser_stop, browser_navigate, browser_tabs, browser_dialog) and credential_capture, which asks
// the desktop vault application to capture a new credential. Each tool is an immutable value over
// the one shared service; concurrent runs are independent, but a run's steps (running check,
// action, listing) are not atomic against other calls on the same controller.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "support/Json.hpp"

namespace varn::mcp {

// Records decode strictly (support/Json.hpp): required keys with their exact type, optional keys
// absent or null, other keys ignored; failures throw support::JsonDecodeError.

struct BrowserStartInput {
  std::optional<bool> headless{};
  std::optional<std::int64_t> idle_timeout_seconds{};

  static BrowserStartInput fromJson(const support::Json& object);
};

struct BrowserStartOutput {
  std::int64_t cdp_port = 0;
  bool already_running = false;

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserStartOutput&) const = default;
};

struct BrowserStopOutput {
  bool stopped = false;

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserStopOutput&) const = default;
};

struct BrowserNavigateInput {
  std::string url{};

  static BrowserNavigateInput fromJson(const support::Json& object);
};

struct BrowserNavigateOutput {
  std::string url{};

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserNavigateOutput&) const = default;
};

struct BrowserTabsInput {
  std::string action{};
  std::optional<std::string> id{};

  static BrowserTabsInput fromJson(const support::Json& object);
};

struct BrowserTabsOutput {
  std::vector<TabInfo> tabs{};

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserTabsOutput&) const = default;
};

struct BrowserDialogInput {
  std::string action{};
  std::optional<std::string> prompt_text{};

  static BrowserDialogInput fromJson(const support::Json& object);
};

struct BrowserDialogOutput {
  bool handled = false;

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const BrowserDialogOutput&) const = default;
};

struct CredentialCaptureInput {
  std::string origin{};
  std::optional<std::string> name{};

  static CredentialCaptureInput fromJson(const support::Json& object);
};

struct CredentialCaptureOutput {
  std::string ref{};
  std::string name{};

  [[nodiscard]] support::OrderedJson toJson() const;
  bool operator==(const CredentialCaptureOutput&) const = default;
};

// "browser_start": applies idle_timeout_seconds when given (below 0: ToolError::invalidArguments
// "idle_timeout_seconds must be >= 0", and nothing is started or changed; 0: no automatic stop),
// then starts the browser (headless when asked) or reuses the running one. No running check.
class BrowserStartTool final {
 public:
  using Input = BrowserStartInput;
  using Output = BrowserStartOutput;
  explicit BrowserStartTool(std::shared_ptr<BrowserController> controller);
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::shared_ptr<BrowserController> controller_;
};

// "browser_stop": stops the browser; succeeds also when none runs.
class BrowserStopTool final {
 public:
  using Output = BrowserStopOutput;
  explicit BrowserStopTool(std::shared_ptr<BrowserController> controller);
  [[nodiscard]] Output run() const;

 private:
  std::shared_ptr<BrowserController> controller_;
};

// "browser_navigate": BrowserError::noBrowser when no browser runs; then a URL whose scheme is not
// http or https and which is not about:blank fails with ToolError::invalidArguments("url must be
// http, https or about:blank") (a javascript: URL would run script in the logged-in page); then
// the active page loads the URL unchanged and the result is the page's URL read back (the
// requested URL when the read-back fails).
class BrowserNavigateTool final {
 public:
  using Input = BrowserNavigateInput;
  using Output = BrowserNavigateOutput;
  explicit BrowserNavigateTool(std::shared_ptr<BrowserController> controller);
  [[nodiscard]] Output run(const Input& input) const;

  // Whether `url` may be navigated to: its scheme, read as a browser reads it (leading C0 controls
  // and spaces stripped, every tab, CR and LF removed, letter case ignored), is http or https, or
  // the whole URL is about:blank.
  [[nodiscard]] static bool allowedURL(std::string_view url);
  // Whether the scheme of `url`, read the same way, is http or https.
  [[nodiscard]] static bool httpURL(std::string_view url);

 private:
  std::shared_ptr<BrowserController> controller_;
};

// "browser_tabs": BrowserError::noBrowser when no browser runs (before any argument check); then
// "list", "activate" (id required: "activate requires id") or "close" (id required: "close requires
// id"), any other action "action must be one of list|activate|close". The result is the tab list
// read after the action, active tab first.
class BrowserTabsTool final {
 public:
  using Input = BrowserTabsInput;
  using Output = BrowserTabsOutput;
  explicit BrowserTabsTool(std::shared_ptr<BrowserController> controller);
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::shared_ptr<BrowserController> controller_;
};

// "browser_dialog": BrowserError::noBrowser when no browser runs (before any argument check); then
// "accept" or "dismiss" the open dialog with prompt_text unchanged (any other action: "action must
// be accept or dismiss").
class BrowserDialogTool final {
 public:
  using Input = BrowserDialogInput;
  using Output = BrowserDialogOutput;
  explicit BrowserDialogTool(std::shared_ptr<BrowserController> controller);
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::shared_ptr<BrowserController> controller_;
};

// "credential_capture": the vault's capture for the origin and name unchanged; returns the new
// item's ref and name. The vault application shows the origin to its user, so an origin that is
// not "http" or "https", a host and an optional port (at most 300 characters) fails with
// invalidArguments before the vault is asked. Needs no browser; vault failures pass through
// unchanged.
class CredentialCaptureTool final {
 public:
  using Input = CredentialCaptureInput;
  using Output = CredentialCaptureOutput;
  explicit CredentialCaptureTool(std::shared_ptr<VaultClient> vault);
  [[nodiscard]] Output run(const Input& input) const;

 private:
  std::shared_ptr<VaultClient> vault_;
};

}  // namespace varn::mcp
