#pragma once

#include <memory>
#include <optional>

#include "mcp/browser/BrowserController.hpp"
#include "mcp/browser/BrowserFillTool.hpp"
#include "mcp/browser/BrowserTools.hpp"
#include "mcp/browser/WebLoginTool.hpp"
#include "mcp/secrets/ResolveService.hpp"
#include "mcp/secrets/TokenVault.hpp"
#include "mcp/tools/HTTPTransport.hpp"
#include "mcp/tools/HttpCallTool.hpp"
#include "mcp/tools/ManagementTools.hpp"
#include "mcp/tools/MintTokenTool.hpp"
#include "mcp/tools/RunCommandTool.hpp"
#include "mcp/tools/Scrubber.hpp"
#include "mcp/tools/SecretTools.hpp"
#include "mcp/tools/TotpCodeTool.hpp"

namespace varn::mcp {

// The one table of the server's tools, in dispatch order. Immutable after construction: built once
// at start-up, before the server, and shared read-only by every tool call. Each tool holds the
// services it uses (the vault client, the resolve service, shared by pointer), so copying the table
// copies pointers.
//
// The browser tools are present only when the server has a browser controller; an absent one is
// answered "browser tools not enabled" (see MCPServer).
struct MCPTools {
  // The limits of web_login: steps per run, and consecutive steps without typing.
  static constexpr int kLoginMaxSteps = 12;
  static constexpr int kLoginMaxStableRounds = 5;

  SecretListTool secretList;
  SecretPreviewTool secretPreview;
  HttpCallTool httpCall;
  RunCommandTool runCommand;
  MintTokenTool mintToken;
  TotpCodeTool totpCode;
  SecretCreateTool secretCreate;
  SecretGetTool secretGet;
  SecretUpdateTool secretUpdate;
  SecretDeleteTool secretDelete;
  GroupListTool groupList;
  GroupCreateTool groupCreate;
  GroupGetTool groupGet;
  GroupUpdateTool groupUpdate;
  GroupDeleteTool groupDelete;
  ProjectListTool projectList;
  ProjectCreateTool projectCreate;
  ProjectGetTool projectGet;
  ProjectUpdateTool projectUpdate;
  ProjectDeleteTool projectDelete;
  std::optional<BrowserStartTool> browserStart{};
  std::optional<BrowserStopTool> browserStop{};
  std::optional<BrowserFillTool> browserFill{};
  std::optional<WebLoginTool> webLogin{};
  std::optional<CredentialCaptureTool> credentialCapture{};
  std::optional<BrowserNavigateTool> browserNavigate{};
  std::optional<BrowserTabsTool> browserTabs{};
  std::optional<BrowserDialogTool> browserDialog{};

  // The services the tools share, as the start-up builds them. None may be null but `browser`
  // (then there are no browser tools); `tokens` must be the handle store of `resolver`.
  struct Services {
    std::shared_ptr<VaultClient> vault;
    std::shared_ptr<ResolveService> resolver;
    std::shared_ptr<TokenVault> tokens;
    std::shared_ptr<HTTPTransport> transport;
    bool allowUnboundHttp = false;
    bool allowUnboundCommand = false;
    std::shared_ptr<BrowserController> browser;
  };

  // Every tool over the shared services.
  [[nodiscard]] static MCPTools build(const Services& s) {
    const auto& vault = s.vault;
    MCPTools tools{SecretListTool(vault),
                   SecretPreviewTool(vault),
                   HttpCallTool(s.resolver, Scrubber(), s.transport, s.allowUnboundHttp),
                   RunCommandTool(s.resolver, Scrubber(), s.allowUnboundCommand),
                   MintTokenTool(s.resolver, s.tokens),
                   TotpCodeTool(s.resolver),
                   SecretCreateTool(vault),
                   SecretGetTool(vault),
                   SecretUpdateTool(vault),
                   SecretDeleteTool(vault),
                   GroupListTool(vault),
                   GroupCreateTool(vault),
                   GroupGetTool(vault),
                   GroupUpdateTool(vault),
                   GroupDeleteTool(vault),
                   ProjectListTool(vault),
                   ProjectCreateTool(vault),
                   ProjectGetTool(vault),
                   ProjectUpdateTool(vault),
                   ProjectDeleteTool(vault)};
    if (s.browser) {
      tools.browserStart.emplace(s.browser);
      tools.browserStop.emplace(s.browser);
      tools.browserFill.emplace(s.resolver, vault, s.browser);
      tools.webLogin.emplace(s.resolver, vault, s.browser, kLoginMaxSteps, kLoginMaxStableRounds);
      tools.credentialCapture.emplace(vault);
      tools.browserNavigate.emplace(s.browser);
      tools.browserTabs.emplace(s.browser);
      tools.browserDialog.emplace(s.browser);
    }
    return tools;
  }
};

}  // namespace varn::mcp
