#include "mcp/browser/BrowserTools.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <utility>

#include "mcp/browser/BrowserURL.hpp"
#include "mcp/browser/CallBudget.hpp"
#include "mcp/secrets/ToolError.hpp"
#include "support/Ascii.hpp"
#include "support/Uri.hpp"

namespace varn::mcp {
namespace {

using support::asciiLower;
using support::isAsciiAlpha;
using support::isAsciiDigit;

// The vault application shows the origin of a capture to its user, so only a plain web origin
// goes there. A host name has at most 253 characters; with a scheme and a port it fits in 300.
constexpr std::size_t kMaxOriginLength = 300;

// Whether `host` is a host name of dot-separated labels (ASCII letters and digits, with hyphens
// inside a label only) or an IPv6 literal in brackets: what the vault
// application may show its user as the site. An IPv4 address is such a name of digit labels.
bool isHostName(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    const std::string address(host.substr(1, host.size() - 2));
    in6_addr parsed;
    return ::inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
  }
  if (host.empty() || host.size() > 253) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.front() == '-' || label.back() == '-') {
      return false;
    }
    for (char c : label) {
      if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '-') return false;
    }
    if (dot == host.size()) return true;
    start = dot + 1;
  }
}

// Whether `origin` is "http" or "https", "://", a host name or an IPv6 literal and an optional port
// (1-65535), and nothing else: no userinfo, path, query, fragment, escapes, blanks or control
// characters.
bool isWebOrigin(std::string_view origin) {
  if (origin.size() > kMaxOriginLength) return false;
  std::optional<support::UriComponents> uri = support::parseUriReference(origin);
  if (!uri || !uri->scheme || !uri->host || uri->host->empty() || uri->userinfo ||
      !uri->path.empty() || uri->query || uri->fragment) {
    return false;
  }
  std::string scheme;
  for (char c : *uri->scheme) scheme.push_back(asciiLower(c));
  if (scheme != "http" && scheme != "https") return false;
  if (!isHostName(*uri->host)) return false;
  if (uri->port) {
    const std::string& port = *uri->port;
    if (port.empty() || port.size() > 5 || port.front() == '0' || std::stoi(port) > 65535) {
      return false;
    }
  }
  return true;
}

}  // namespace

BrowserStartOutput startBrowser(BrowserController& controller, const BrowserStartInput& input) {
  if (input.idle_timeout_seconds) {
    if (*input.idle_timeout_seconds < 0) {
      throw ToolError::invalidArguments("idle_timeout_seconds must be >= 0");
    }
    controller.setIdleTimeout(*input.idle_timeout_seconds);
  }
  const CallBudget budget;
  const BrowserController::StartResult started = controller.start(input.headless.value_or(false));
  return BrowserStartOutput{started.port, started.alreadyRunning};
}

BrowserStopOutput stopBrowser(BrowserController& controller) {
  controller.stop();
  return BrowserStopOutput{true};
}

BrowserNavigateOutput navigateBrowser(BrowserController& controller,
                                      const BrowserNavigateInput& input) {
  const CallBudget budget;
  // No idle stop while the call runs, approval waits included.
  const BrowserUse use = controller.beginUse();
  if (!controller.isRunning()) throw BrowserError::noBrowser();
  if (!BrowserURL::isNavigable(input.url)) {
    throw ToolError::invalidArguments("url must be http, https or about:blank");
  }
  std::string shown = controller.navigate(input.url);
  if (!shown.empty()) return BrowserNavigateOutput{std::move(shown)};
  // The read-back only reports where the page ended up; the navigation itself has succeeded.
  try {
    return BrowserNavigateOutput{controller.currentURL()};
  } catch (...) {
    return BrowserNavigateOutput{input.url};
  }
}

BrowserTabsOutput controlTabs(BrowserController& controller, const BrowserTabsInput& input) {
  const CallBudget budget;
  // No idle stop while the call runs, approval waits included.
  const BrowserUse use = controller.beginUse();
  if (!controller.isRunning()) throw BrowserError::noBrowser();
  if (input.action == "activate" || input.action == "close") {
    if (!input.id) throw ToolError::invalidArguments(input.action + " requires id");
    if (input.action == "activate") {
      controller.activateTab(*input.id);
    } else {
      controller.closeTab(*input.id);
    }
  } else if (input.action != "list") {
    throw ToolError::invalidArguments("action must be one of list|activate|close");
  }
  return BrowserTabsOutput{controller.listTabs()};
}

BrowserDialogOutput answerDialog(BrowserController& controller, const BrowserDialogInput& input) {
  const CallBudget budget;
  // No idle stop while the call runs, approval waits included.
  const BrowserUse use = controller.beginUse();
  if (!controller.isRunning()) throw BrowserError::noBrowser();
  if (input.action != "accept" && input.action != "dismiss") {
    throw ToolError::invalidArguments("action must be accept or dismiss");
  }
  controller.handleDialog(input.action == "accept", input.prompt_text);
  return BrowserDialogOutput{true};
}

CredentialCaptureOutput captureCredential(VaultClient& vault, const CredentialCaptureInput& input) {
  if (!isWebOrigin(input.origin)) {
    throw ToolError::invalidArguments(
        "origin must be an http or https origin — scheme, host and optional port only, "
        "like https://example.com:8443");
  }
  SecretMetadataOutput stored = vault.captureSecret(input.origin, input.name);
  return CredentialCaptureOutput{std::move(stored.ref), std::move(stored.name)};
}

}  // namespace varn::mcp
