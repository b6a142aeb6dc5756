#include "mcp/server/ToolDefinitions.hpp"

#include <string_view>
#include <utility>

#include "mcp/browser/BrowserFillTool.hpp"
#include "mcp/browser/BrowserTools.hpp"
#include "mcp/browser/WebLoginTool.hpp"
#include "mcp/tools/HttpCallTool.hpp"
#include "mcp/tools/ManagementTools.hpp"
#include "mcp/tools/MintTokenTool.hpp"
#include "mcp/tools/RunCommandTool.hpp"
#include "mcp/tools/SecretTools.hpp"
#include "mcp/tools/TotpCodeTool.hpp"
#include "support/JsonRecord.hpp"
#include "support/JsonSchema.hpp"

namespace varn::mcp {
namespace {

using support::OrderedJson;

// --- building a tool -------------------------------------------------------------------------

template <Tool T>
std::shared_ptr<const RunnableTool> buildTool(const ToolServices& services, std::string_view name) {
  return std::make_shared<const RecordTool<T>>(services, name);
}

// --- schemas ---------------------------------------------------------------------------------

// The schema read from the tool's input record; an empty object for a tool without input.
template <Tool T>
OrderedJson recordSchema() {
  if constexpr (ToolWithInput<T>) {
    support::JsonRecordSchema schema = support::jsonRecordSchema<typename T::Input>();
    return objectSchema(std::move(schema.properties), schema.required);
  } else {
    return objectSchema(OrderedJson::object(), {});
  }
}

// --- the list --------------------------------------------------------------------------------

// The row of tool T. A T that breaks the contract of a Tool fails here, with one assertion naming
// what is missing, and nothing else of it is compiled.
template <typename T>
constexpr ToolRow toolRow(ToolKind kind, std::string_view name, std::string_view description,
                          std::string_view longText) {
  if constexpr (checkTool<T>()) {
    return {name, description, kind, &recordSchema<T>, &buildTool<T>, longText};
  } else {
    return {name, description, kind};
  }
}

// The row of a tool every server has.
template <typename T>
constexpr ToolRow row(std::string_view name, std::string_view description,
                      std::string_view longText = {}) {
  return toolRow<T>(ToolKind::core, name, description, longText);
}

// The row of a browser tool, which a server without a browser controller lacks.
template <typename T>
constexpr ToolRow browserRow(std::string_view name, std::string_view description) {
  return toolRow<T>(ToolKind::browser, name, description, {});
}

constexpr ToolRow kRows[] = {
    row<SecretListTool>("secret_list", "List secret refs + metadata (no values)."),
    row<SecretPreviewTool>("secret_resolve_preview",
                           "Masked descriptor {ref,type,length,last4} — no value."),
    row<HttpCallTool>(
        "http_call",
        "Outbound HTTP with auth_ref injected server-side; auth-tainted body/headers suppressed. "
        "A credential is injected ONLY if the target host is in its allowed_hosts binding.",
        "body"),
    row<RunCommandTool>(
        "run_command",
        "Spawn a child with env_refs injected as env vars; secret-tainted output suppressed. A "
        "credential is injected ONLY if the argv matches its allowed_commands binding."),
    row<MintTokenTool>(
        "mint_token",
        "Mint a short-lived handle from root_ref; no raw token returned. Use the returned varnh_… "
        "handle anywhere a ref goes (http_call auth_ref, run_command env_refs) until it expires — "
        "it keeps the root credential's binding and needs no further approval."),
    row<TotpCodeTool>(
        "totp_code",
        "Current one-time 2FA code for a stored TOTP seed, by ref to its otp field (e.g. "
        "varn://Personal/GitHub/otp). Returns the ~30s code and seconds until rollover — never "
        "the seed. Honors the item's ai_access tier: human_gated items require live approval."),
    row<SecretCreateTool>(
        "secret_create",
        "Create an encrypted secret/API token in Varn. For a login credential pass `username` "
        "(the login/email) — it's stored as a readable sibling field the human can copy. `group` "
        "(+ optional `project`, defaults to Personal) files it into that folder. `url` sets the "
        "login origin web_login/browser_fill lock onto. `allowed_hosts` binds the credential to "
        "hosts http_call may send it to; `allowed_commands` to argv prefixes run_command may "
        "inject it into (without a binding it can't be injected). Returns metadata/ref only; "
        "never echoes value.",
        "value"),
    row<SecretGetTool>("secret_get",
                       "Get secret metadata by ref (incl. its allowed_hosts/allowed_commands "
                       "binding). Does not return the secret value."),
    row<SecretUpdateTool>(
        "secret_update",
        "Update secret metadata/value/binding by ref. `username` sets/replaces the credential's "
        "login/email field (empty string removes it). Pass allowed_hosts/allowed_commands to "
        "(re)bind where the credential may be injected; `url` (re)sets the web_login origin; "
        "`group`+`project` move the item. Returns metadata/ref only; never echoes value.",
        "value"),
    row<SecretDeleteTool>("secret_delete", "Delete a secret by ref."),
    row<GroupListTool>("group_list", "List Varn groups/folders."),
    row<GroupCreateTool>(
        "group_create",
        "Create an Varn group/folder. Optional `project` (defaults to Personal) and `parent` (a "
        "group name/id) to nest it as a subgroup."),
    row<GroupGetTool>("group_get", "Get Varn group/folder metadata by name or id."),
    row<GroupUpdateTool>("group_update", "Rename an Varn group/folder by name or id."),
    row<GroupDeleteTool>("group_delete", "Delete an Varn group/folder by name or id."),
    row<ProjectListTool>("project_list", "List Varn projects/workspaces."),
    row<ProjectCreateTool>("project_create", "Create an Varn project/workspace."),
    row<ProjectGetTool>("project_get", "Get Varn project/workspace metadata by name or id."),
    row<ProjectUpdateTool>("project_update", "Rename an Varn project/workspace by name or id."),
    row<ProjectDeleteTool>("project_delete", "Delete an Varn project/workspace by name or id."),
    browserRow<BrowserStartTool>(
        "browser_start",
        "Launch the Varn-owned Chromium with a CDP port so Playwright/Chrome DevTools MCP can "
        "attach (--cdp-endpoint / --browser-url). Idempotent; ephemeral profile wiped on stop. "
        "Auto-stops when idle (default ~5 min; navigation/tab activity from external CDP drivers "
        "counts as use) — idle_timeout_seconds overrides the window, 0 disables auto-stop for "
        "this MCP process's lifetime."),
    browserRow<BrowserStopTool>("browser_stop",
                                "Stop the Varn-owned Chromium and wipe its ephemeral profile."),
    browserRow<BrowserNavigateTool>(
        "browser_navigate",
        "Navigate the ACTIVE tab and wait for the load to settle. Returns the resulting URL."),
    browserRow<BrowserTabsTool>(
        "browser_tabs",
        "List, activate, or close tabs (id from list). Always returns the resulting tab list, "
        "active tab first — fills and web_login target the active tab, so activate/close extras "
        "before filling."),
    browserRow<BrowserDialogTool>(
        "browser_dialog",
        "Accept or dismiss the open native JS dialog (confirm()/alert()/prompt() — e.g. a "
        "data-confirm danger-zone button). An open dialog blocks every evaluate on the page, so a "
        "hanging click usually means call this. prompt_text answers a prompt() when accepting."),
    browserRow<BrowserFillTool>(
        "browser_fill",
        "Type a stored credential into a live browser field via CDP without the value entering "
        "model context. field=username|password|otp|custom; otp types the current TOTP code. "
        "Origin-locked to the item's url (or its allowed_hosts when no url is stored); passwords "
        "only fill input[type=password]."),
    browserRow<WebLoginTool>(
        "web_login",
        "One-call login: navigate to the item's url (or start_url, origin-locked via the item's "
        "url/allowed_hosts) and fill username→password→otp across single/multi-step forms (values "
        "never enter context). ref may be item-level (varn://coll/Item) or any field ref; fields "
        "resolve by label, then by kind. Returns {status: logged_in|needs_human|stuck, step, "
        "page_url, filled}; step names any page field the item can't fill. Fall back to "
        "browser_fill for unusual flows."),
    browserRow<CredentialCaptureTool>(
        "credential_capture",
        "For a site with no stored credential: opens an Varn.app window to enter "
        "username/password/otp once (value never crosses MCP), saves it as a login item with "
        "url=origin, and returns {ref,name} so you can immediately web_login/browser_fill."),
};

// The definitions of the rows `wanted` keeps, in row order.
template <typename Wanted>
OrderedJson definitions(Wanted wanted) {
  OrderedJson list = OrderedJson::array();
  for (const ToolRow& row : kRows) {
    if (!wanted(row)) continue;
    OrderedJson definition = OrderedJson::object();
    definition["name"] = row.name;
    definition["description"] = row.description;
    definition["inputSchema"] = row.inputSchema();
    list.push_back(std::move(definition));
  }
  return list;
}

}  // namespace

std::span<const ToolRow> toolRows() noexcept {
  return kRows;
}

const ToolRow* findToolRow(std::string_view name) noexcept {
  for (const ToolRow& row : kRows) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

OrderedJson objectSchema(OrderedJson properties, const std::vector<std::string>& required) {
  OrderedJson schema = OrderedJson::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  if (!required.empty()) schema["required"] = required;
  return schema;
}

OrderedJson toolDefinitions() {
  return definitions([](const ToolRow&) { return true; });
}

OrderedJson browserToolDefinitions() {
  return definitions([](const ToolRow& row) { return row.kind == ToolKind::browser; });
}

}  // namespace varn::mcp
