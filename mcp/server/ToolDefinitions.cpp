#include "mcp/server/ToolDefinitions.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace varn::mcp {
namespace {

using support::OrderedJson;

// The six property shapes; a property carries nothing beyond its shape (no description, default,
// format or bounds).
OrderedJson text() {
  return {{"type", "string"}};
}
OrderedJson integer() {
  return {{"type", "integer"}};
}
OrderedJson boolean() {
  return {{"type", "boolean"}};
}
// A map of text to text; its entries are not described.
OrderedJson object() {
  return {{"type", "object"}};
}
OrderedJson listOfText() {
  return {{"type", "array"}, {"items", text()}};
}
OrderedJson oneOf(std::initializer_list<std::string_view> values) {
  OrderedJson allowed = OrderedJson::array();
  for (std::string_view value : values) allowed.push_back(value);
  return {{"type", "string"}, {"enum", std::move(allowed)}};
}

// A properties object in the given order; an empty list gives {} rather than null.
OrderedJson properties(std::initializer_list<std::pair<const char*, OrderedJson>> entries) {
  OrderedJson out = OrderedJson::object();
  for (const auto& [name, shape] : entries) out[name] = shape;
  return out;
}

OrderedJson tool(const char* name, const char* description, OrderedJson inputSchema) {
  OrderedJson out = OrderedJson::object();
  out["name"] = name;
  out["description"] = description;
  out["inputSchema"] = std::move(inputSchema);
  return out;
}

}  // namespace

OrderedJson obj(OrderedJson properties, const std::vector<std::string>& required) {
  OrderedJson schema = OrderedJson::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  if (!required.empty()) schema["required"] = required;
  return schema;
}

OrderedJson toolDefinitions() {
  OrderedJson list = OrderedJson::array();
  list.push_back(tool("secret_list", "List secret refs + metadata (no values).",
                      obj(properties({{"collection", text()}, {"query", text()}}), {})));
  list.push_back(tool("secret_resolve_preview",
                      "Masked descriptor {ref,type,length,last4} — no value.",
                      obj(properties({{"ref", text()}}), {"ref"})));
  list.push_back(tool(
      "http_call",
      "Outbound HTTP with auth_ref injected server-side; auth-tainted body/headers suppressed. A "
      "credential is injected ONLY if the target host is in its allowed_hosts binding.",
      obj(properties({{"url", text()},
                      {"method", text()},
                      {"headers", object()},
                      {"body", text()},
                      {"auth_ref", text()},
                      {"auth_scheme", text()}}),
          {"url", "method"})));
  list.push_back(
      tool("run_command",
           "Spawn a child with env_refs injected as env vars; secret-tainted output suppressed. A "
           "credential is injected ONLY if the argv matches its allowed_commands binding.",
           obj(properties({{"argv", listOfText()}, {"env_refs", object()}, {"cwd", text()}}),
               {"argv"})));
  list.push_back(
      tool("mint_token",
           "Mint a short-lived handle from root_ref; no raw token returned. Use the returned "
           "varnh_… handle anywhere a ref goes (http_call auth_ref, run_command env_refs) until it "
           "expires — it keeps the root credential's binding and needs no further approval.",
           obj(properties({{"root_ref", text()}, {"scope", text()}, {"ttl_seconds", integer()}}),
               {"root_ref", "scope", "ttl_seconds"})));
  list.push_back(
      tool("totp_code",
           "Current one-time 2FA code for a stored TOTP seed, by ref to its otp field (e.g. "
           "varn://Personal/GitHub/otp). Returns the ~30s code and seconds until rollover — never "
           "the seed. Honors the item's ai_access tier: human_gated items require live approval.",
           obj(properties({{"ref", text()}}), {"ref"})));
  list.push_back(
      tool("secret_create",
           "Create an encrypted secret/API token in Varn. For a login credential pass `username` "
           "(the login/email) — it's stored as a readable sibling field the human can copy. "
           "`group` (+ optional `project`, defaults to Personal) files it into that folder. `url` "
           "sets the login origin web_login/browser_fill lock onto. `allowed_hosts` binds the "
           "credential to hosts http_call may send it to; `allowed_commands` to argv prefixes "
           "run_command may inject it into (without a binding it can't be injected). Returns "
           "metadata/ref only; never echoes value.",
           obj(properties({{"name", text()},
                           {"field_label", text()},
                           {"value", text()},
                           {"kind", text()},
                           {"ai_access", text()},
                           {"username", text()},
                           {"group", text()},
                           {"project", text()},
                           {"url", text()},
                           {"allowed_hosts", listOfText()},
                           {"allowed_commands", listOfText()}}),
               {"name", "field_label", "value", "kind", "ai_access"})));
  list.push_back(tool("secret_get",
                      "Get secret metadata by ref (incl. its allowed_hosts/allowed_commands "
                      "binding). Does not return the secret value.",
                      obj(properties({{"ref", text()}}), {"ref"})));
  list.push_back(
      tool("secret_update",
           "Update secret metadata/value/binding by ref. `username` sets/replaces the credential's "
           "login/email field (empty string removes it). Pass allowed_hosts/allowed_commands to "
           "(re)bind where the credential may be injected; `url` (re)sets the web_login origin; "
           "`group`+`project` move the item. Returns metadata/ref only; never echoes value.",
           obj(properties({{"ref", text()},
                           {"name", text()},
                           {"field_label", text()},
                           {"value", text()},
                           {"kind", text()},
                           {"ai_access", text()},
                           {"username", text()},
                           {"group", text()},
                           {"project", text()},
                           {"url", text()},
                           {"allowed_hosts", listOfText()},
                           {"allowed_commands", listOfText()}}),
               {"ref"})));
  list.push_back(tool("secret_delete", "Delete a secret by ref.",
                      obj(properties({{"ref", text()}}), {"ref"})));
  list.push_back(tool("group_list", "List Varn groups/folders.", obj(properties({}), {})));
  list.push_back(
      tool("group_create",
           "Create an Varn group/folder. Optional `project` (defaults to Personal) and `parent` (a "
           "group name/id) to nest it as a subgroup.",
           obj(properties({{"name", text()}, {"project", text()}, {"parent", text()}}), {"name"})));
  list.push_back(tool("group_get", "Get Varn group/folder metadata by name or id.",
                      obj(properties({{"group", text()}}), {"group"})));
  list.push_back(tool("group_update", "Rename an Varn group/folder by name or id.",
                      obj(properties({{"group", text()}, {"name", text()}}), {"group"})));
  list.push_back(tool("group_delete", "Delete an Varn group/folder by name or id.",
                      obj(properties({{"group", text()}}), {"group"})));
  list.push_back(tool("project_list", "List Varn projects/workspaces.", obj(properties({}), {})));
  list.push_back(tool("project_create", "Create an Varn project/workspace.",
                      obj(properties({{"name", text()}}), {"name"})));
  list.push_back(tool("project_get", "Get Varn project/workspace metadata by name or id.",
                      obj(properties({{"project", text()}}), {"project"})));
  list.push_back(tool("project_update", "Rename an Varn project/workspace by name or id.",
                      obj(properties({{"project", text()}, {"name", text()}}), {"project"})));
  list.push_back(tool("project_delete", "Delete an Varn project/workspace by name or id.",
                      obj(properties({{"project", text()}}), {"project"})));
  for (OrderedJson& definition : browserToolDefinitions()) list.push_back(std::move(definition));
  return list;
}

OrderedJson browserToolDefinitions() {
  OrderedJson list = OrderedJson::array();
  list.push_back(
      tool("browser_start",
           "Launch the Varn-owned Chromium with a CDP port so Playwright/Chrome DevTools MCP can "
           "attach (--cdp-endpoint / --browser-url). Idempotent; ephemeral profile wiped on stop. "
           "Auto-stops when idle (default ~5 min; navigation/tab activity from external CDP "
           "drivers counts as use) — idle_timeout_seconds overrides the window, 0 disables "
           "auto-stop for this MCP process's lifetime.",
           obj(properties({{"headless", boolean()}, {"idle_timeout_seconds", integer()}}), {})));
  list.push_back(tool("browser_stop",
                      "Stop the Varn-owned Chromium and wipe its ephemeral profile.",
                      obj(properties({}), {})));
  list.push_back(
      tool("browser_navigate",
           "Navigate the ACTIVE tab and wait for the load to settle. Returns the resulting URL.",
           obj(properties({{"url", text()}}), {"url"})));
  list.push_back(
      tool("browser_tabs",
           "List, activate, or close tabs (id from list). Always returns the resulting tab list, "
           "active tab first — fills and web_login target the active tab, so activate/close extras "
           "before filling.",
           obj(properties({{"action", oneOf({"list", "activate", "close"})}, {"id", text()}}),
               {"action"})));
  list.push_back(tool(
      "browser_dialog",
      "Accept or dismiss the open native JS dialog (confirm()/alert()/prompt() — e.g. a "
      "data-confirm danger-zone button). An open dialog blocks every evaluate on the page, so a "
      "hanging click usually means call this. prompt_text answers a prompt() when accepting.",
      obj(properties({{"action", oneOf({"accept", "dismiss"})}, {"prompt_text", text()}}),
          {"action"})));
  list.push_back(tool(
      "browser_fill",
      "Type a stored credential into a live browser field via CDP without the value entering model "
      "context. field=username|password|otp|custom; otp types the current TOTP code. Origin-locked "
      "to the item's url (or its allowed_hosts when no url is stored); passwords only fill "
      "input[type=password].",
      obj(properties(
              {{"ref", text()}, {"field", text()}, {"selector", text()}, {"submit", boolean()}}),
          {"ref", "field"})));
  list.push_back(
      tool("web_login",
           "One-call login: navigate to the item's url (or start_url, origin-locked via the item's "
           "url/allowed_hosts) and fill username→password→otp across single/multi-step forms "
           "(values never enter context). ref may be item-level (varn://coll/Item) or any field "
           "ref; fields resolve by label, then by kind. Returns {status: "
           "logged_in|needs_human|stuck, step, page_url, filled}; step names any page field the "
           "item can't fill. Fall back to browser_fill for unusual flows.",
           obj(properties({{"ref", text()}, {"start_url", text()}}), {"ref"})));
  list.push_back(
      tool("credential_capture",
           "For a site with no stored credential: opens an Varn.app window to enter "
           "username/password/otp once (value never crosses MCP), saves it as a login item with "
           "url=origin, and returns {ref,name} so you can immediately web_login/browser_fill.",
           obj(properties({{"origin", text()}, {"name", text()}}), {"origin"})));
  return list;
}

}  // namespace varn::mcp
