#pragma once

// The browser tools that drive the managed browser through the controller (browser_start,
// browser_stop, browser_navigate, browser_tabs, browser_dialog) and credential_capture, which asks
// the desktop vault application to capture a new credential. Each tool is an immutable value over
// the one shared service (ServiceTool over its run function below); concurrent runs are
// independent, but a run's steps (running check, action, listing) are not atomic against other
// calls on the same controller.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/secrets/VaultClient.hpp"
#include "mcp/tools/ToolServices.hpp"
#include "support/JsonRecord.hpp"

namespace varn::mcp {

// The tools' records, coded by the record codec (support/JsonRecord.hpp): required keys with their
// exact type, optional keys absent or null, other keys ignored.

struct BrowserStartInput {
  std::optional<bool> headless{};
  std::optional<std::int64_t> idle_timeout_seconds{};
};
VARN_JSON_RECORD(BrowserStartInput, "arguments", VARN_JSON_FIELD(headless),
                 VARN_JSON_FIELD(idle_timeout_seconds));

struct BrowserStartOutput {
  std::int64_t cdp_port = 0;
  bool already_running = false;

  bool operator==(const BrowserStartOutput&) const = default;
};
VARN_JSON_RECORD(BrowserStartOutput, "output", VARN_JSON_FIELD(cdp_port),
                 VARN_JSON_FIELD(already_running));

struct BrowserStopOutput {
  bool stopped = false;

  bool operator==(const BrowserStopOutput&) const = default;
};
VARN_JSON_RECORD(BrowserStopOutput, "output", VARN_JSON_FIELD(stopped));

struct BrowserNavigateInput {
  std::string url{};
};
VARN_JSON_RECORD(BrowserNavigateInput, "arguments", VARN_JSON_FIELD(url));

struct BrowserNavigateOutput {
  std::string url{};

  bool operator==(const BrowserNavigateOutput&) const = default;
};
VARN_JSON_RECORD(BrowserNavigateOutput, "output", VARN_JSON_FIELD(url));

// `action` is any text once decoded: the tool refuses what it does not accept, after its running
// check.
struct BrowserTabsInput {
  static constexpr std::string_view kActions[] = {"list", "activate", "close"};

  std::string action{};
  std::optional<std::string> id{};
};
VARN_JSON_RECORD(BrowserTabsInput, "arguments",
                 VARN_JSON_FIELD(action).oneOf(BrowserTabsInput::kActions), VARN_JSON_FIELD(id));

struct BrowserTabsOutput {
  std::vector<TabInfo> tabs{};

  bool operator==(const BrowserTabsOutput&) const = default;
};
VARN_JSON_RECORD(BrowserTabsOutput, "output", VARN_JSON_FIELD(tabs));

// `action` as for BrowserTabsInput.
struct BrowserDialogInput {
  static constexpr std::string_view kActions[] = {"accept", "dismiss"};

  std::string action{};
  std::optional<std::string> prompt_text{};
};
VARN_JSON_RECORD(BrowserDialogInput, "arguments",
                 VARN_JSON_FIELD(action).oneOf(BrowserDialogInput::kActions),
                 VARN_JSON_FIELD(prompt_text));

struct BrowserDialogOutput {
  bool handled = false;

  bool operator==(const BrowserDialogOutput&) const = default;
};
VARN_JSON_RECORD(BrowserDialogOutput, "output", VARN_JSON_FIELD(handled));

struct CredentialCaptureInput {
  std::string origin{};
  std::optional<std::string> name{};
};
VARN_JSON_RECORD(CredentialCaptureInput, "arguments", VARN_JSON_FIELD(origin),
                 VARN_JSON_FIELD(name));

struct CredentialCaptureOutput {
  std::string ref{};
  std::string name{};

  bool operator==(const CredentialCaptureOutput&) const = default;
};
VARN_JSON_RECORD(CredentialCaptureOutput, "output", VARN_JSON_FIELD(ref), VARN_JSON_FIELD(name));

// "browser_start": applies idle_timeout_seconds when given (below 0: ToolError::invalidArguments
// "idle_timeout_seconds must be >= 0", and nothing is started or changed; 0: no automatic stop),
// then starts the browser (headless when asked) or reuses the running one, within a tool call's
// CallBudget (a browser not ready in time is stopped). No running check.
[[nodiscard]] BrowserStartOutput startBrowser(BrowserController& controller,
                                              const BrowserStartInput& input);
using BrowserStartTool = ServiceTool<BrowserController, &startBrowser>;

// "browser_stop": stops the browser; succeeds also when none runs.
[[nodiscard]] BrowserStopOutput stopBrowser(BrowserController& controller);
using BrowserStopTool = ServiceTool<BrowserController, &stopBrowser>;

// "browser_navigate": BrowserError::noBrowser when no browser runs; then a URL that is not
// BrowserURL::isNavigable (its scheme not http or https, and not about:blank) fails with
// ToolError::invalidArguments("url must be http, https or about:blank") (a javascript: URL would
// run script in the logged-in page); then the active page loads the URL unchanged and the result is
// the page's URL read back (the requested URL when the read-back fails).
[[nodiscard]] BrowserNavigateOutput navigateBrowser(BrowserController& controller,
                                                    const BrowserNavigateInput& input);
using BrowserNavigateTool = ServiceTool<BrowserController, &navigateBrowser>;

// "browser_tabs": BrowserError::noBrowser when no browser runs (before any argument check); then
// "list", "activate" (id required: "activate requires id") or "close" (id required: "close requires
// id"), any other action "action must be one of list|activate|close". The result is the tab list
// read after the action, active tab first.
[[nodiscard]] BrowserTabsOutput controlTabs(BrowserController& controller,
                                            const BrowserTabsInput& input);
using BrowserTabsTool = ServiceTool<BrowserController, &controlTabs>;

// "browser_dialog": BrowserError::noBrowser when no browser runs (before any argument check); then
// "accept" or "dismiss" the open dialog with prompt_text unchanged (any other action: "action must
// be accept or dismiss").
[[nodiscard]] BrowserDialogOutput answerDialog(BrowserController& controller,
                                               const BrowserDialogInput& input);
using BrowserDialogTool = ServiceTool<BrowserController, &answerDialog>;

// "credential_capture": the vault's capture for the origin and name unchanged; returns the new
// item's ref and name. The vault application shows the origin to its user, so an origin that is
// not "http" or "https", a host and an optional port (at most 300 characters) fails with
// invalidArguments before the vault is asked. Needs no browser; vault failures pass through
// unchanged.
[[nodiscard]] CredentialCaptureOutput captureCredential(VaultClient& vault,
                                                        const CredentialCaptureInput& input);
using CredentialCaptureTool = ServiceTool<VaultClient, &captureCredential>;

}  // namespace varn::mcp
