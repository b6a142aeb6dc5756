// browser_fill and web_login end to end: the real varn-mcp drives a real headless Chromium on
// login pages served on 127.0.0.1 and on localhost (two origins of one local site), with a fake
// vault of the test's own. After every test no typed value appears in a tool result, on standard
// error, in the audit file, or in a tab's title or URL.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/Uri.hpp"
#include "support/Utf8.hpp"
#include "tests/support/BrowserKit.hpp"
#include "tests/support/LoginSite.hpp"
#include "tests/support/ServerTest.hpp"

namespace varn::tests {
namespace {

const std::string kItem = "varn://local/Shop";
// The RFC 6238 SHA-1 test secret.
const std::string kSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

std::string field(const std::string& label) {
  return kItem + "/" + label;
}

// The current code of the seed by oathtool (OATH Toolkit).
std::string oathtoolCode() {
  const std::string command = "oathtool --totp -b " + kSeed;
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 64> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr) out += buffer.data();
    pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The forms in which a value typed into a field may leave the page: as typed, and as an input or
// text area keeps it (line breaks dropped, CR LF read as LF, or sent as CR LF; blanks trimmed).
std::vector<std::string> sentForms(const std::string& value) {
  std::string dropped;
  std::string lf;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\r' && value[i] != '\n') dropped += value[i];
    if (value[i] != '\r' || (i + 1 < value.size() && value[i + 1] != '\n')) lf += value[i];
  }
  std::string crlf;
  for (const char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::vector<std::string> forms;
  for (const std::string& form :
       {value, dropped, lf, crlf, support::trimWhitespaceAndNewlines(value)}) {
    if (!form.empty() && std::find(forms.begin(), forms.end(), form) == forms.end()) {
      forms.push_back(form);
    }
  }
  return forms;
}

// Debian's Chromium with every host under example.com resolved to 127.0.0.1, so that the login
// site also answers as hosts of one registrable domain (www., login., eu.example.com).
std::string writeMappingWrapper(const std::string& folder) {
  const std::string path = folder + "/chromium";
  std::ofstream(path) << "#!/bin/sh\nexec " << mcp::fakes::kChromium
                      << " --no-sandbox '--host-resolver-rules=MAP *.example.com 127.0.0.1' "
                         "\"$@\"\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// A form page: `inputs` inside a form posted back to the page's own path.
std::string formPage(const std::string& title, const std::string& inputs,
                     const std::string& button = "<button>Sign in</button>") {
  return "<title>" + title + "</title><form method=\"post\">" + inputs + button + "</form>";
}

class FillLoginTest : public ServerTest {
 protected:
  FillLoginTest() : tmp(dir.makeFolder("t")), wrapper(writeMappingWrapper(dir.path())) {
    site.page("/home", "<title>Home</title><p>welcome</p>");
  }

  // Starts the vault and a server with a browser, and the browser (headless).
  void startBrowser() {
    startVault();
    vault->answer("list", VaultReply::line("[]"));
    cdpPort = unusedLoopbackPort();
    std::map<std::string, std::string> env = defaultEnvironment();
    env["PATH"] = "/usr/bin:/bin";
    env["TMPDIR"] = tmp;
    env["VARN_BROWSER_BIN"] = wrapper;
    startServer({"--cdp-port", std::to_string(cdpPort)}, env);
    ok("browser_start", {{"headless", true}});
  }

  // One field of the item: its preview (bound to `url` and `hosts`) and its value, released at
  // once or, when `gated`, only once approved. The value is registered with the leak check.
  void store(const std::string& label, const std::string& value, const Json& hosts,
             bool gated = false, const std::string& url = "") {
    Json preview{
        {"decision", gated ? "needs_approval" : "allowed"},
        {"type", label == "username" || label == "otp" || label == "pin" ? label : "password"},
        {"allowed_hosts", hosts}};
    if (!url.empty()) preview["url"] = url;
    vault->answer("preview", field(label), VaultReply::line(preview.dump()));
    const std::string released = Json{{"decision", "allowed"}, {"value", value}}.dump();
    if (gated) {
      vault->answer("resolve", field(label), VaultReply::line(R"({"decision":"needs_approval"})"));
      vault->answer("resolve", field(label), VaultReply::line(released), true);
    } else {
      vault->answer("resolve", field(label), VaultReply::line(released));
    }
    typed.push_back(value);
    for (const std::string& form : sentForms(value)) leaks.secret(form);
  }

  Json ok(const std::string& tool, const Json& args = Json::object()) {
    const ToolResult result = call(tool, args);
    EXPECT_FALSE(result.isError) << tool << ": " << leaks.redact(result.text);
    return support::parseJson(result.text).value_or(Json::object());
  }

  std::string fails(const std::string& tool, const Json& args) {
    const ToolResult result = call(tool, args);
    EXPECT_TRUE(result.isError) << tool << ": " << leaks.redact(result.text);
    return leaks.redact(result.text);
  }

  // The ops of the vault requests so far, with their refs: "preview <ref>", "resolve <ref>".
  std::vector<std::string> vaultTraffic() const {
    std::vector<std::string> out;
    for (const RecordedRequest& request : vault->requests()) {
      const Json parsed = support::parseJson(request.line).value_or(Json::object());
      out.push_back(request.op + " " + parsed.value("ref", std::string()));
    }
    return out;
  }

  // The forms posted to `path`.
  std::vector<std::string> posted(const std::string& path) const {
    std::vector<std::string> out;
    for (const LoginSite::Request& request : site.requestsTo(path)) {
      if (request.method == "POST") out.push_back(request.body);
    }
    return out;
  }

  std::vector<std::string> auditLines() const {
    std::vector<std::string> lines;
    std::ifstream file(home + "/Library/Application Support/Varn/mcp-audit.log");
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  void TearDown() override {
    if (server) {
      // The tabs' titles and URLs go into the replies the leak check reads.
      const ToolResult tabs = call("browser_tabs", {{"action", "list"}});
      EXPECT_FALSE(tabs.isError) << leaks.redact(tabs.text);
    }
    ServerTest::TearDown();
    EXPECT_TRUE(leaks.absentFrom(auditLines(), "")) << "in the audit file";
  }

  std::string tmp;
  std::string wrapper;
  std::int64_t cdpPort = 0;
  LoginSite site;
  std::vector<std::string> typed;
};

TEST_F(FillLoginTest, UsernamePasswordAndCodeAreTypedAndSubmitted) {
  site.page("/login",
            formPage("Sign in",
                     "<input name=\"user\" type=\"email\">"
                     "<input name=\"pw\" type=\"password\">"
                     "<input name=\"code\" autocomplete=\"one-time-code\">"),
            "/home");
  startBrowser();
  store("username", "ada@example.com", {"127.0.0.1"});
  store("password", "Pa55-w0rd-e2e", {"127.0.0.1"});
  store("otp", kSeed, {"127.0.0.1"});
  ok("browser_navigate", {{"url", site.url("/login")}});

  const std::string origin = site.url("");
  EXPECT_EQ(
      ok("browser_fill", {{"ref", field("username")}, {"field", "username"}}),
      (Json{{"filled", true}, {"field", "username"}, {"origin", origin}, {"submitted", false}}));
  EXPECT_EQ(
      ok("browser_fill", {{"ref", field("password")}, {"field", "password"}}),
      (Json{{"filled", true}, {"field", "password"}, {"origin", origin}, {"submitted", false}}));
  const std::string before = oathtoolCode();
  EXPECT_EQ(ok("browser_fill", {{"ref", field("otp")}, {"field", "otp"}, {"submit", true}}),
            (Json{{"filled", true}, {"field", "otp"}, {"origin", origin}, {"submitted", true}}));
  const std::string after = oathtoolCode();

  ASSERT_TRUE(site.waitFor("/home"));
  const std::vector<std::string> forms = posted("/login");
  ASSERT_EQ(forms.size(), 1u);
  EXPECT_TRUE(formValue(forms[0], "user") == "ada@example.com");
  EXPECT_TRUE(formValue(forms[0], "pw") == "Pa55-w0rd-e2e");
  const std::string code = formValue(forms[0], "code");
  EXPECT_TRUE(code == before || code == after) << "the code differs from oathtool's";
  EXPECT_NE(code, kSeed);
  EXPECT_EQ(vaultTraffic(), (std::vector<std::string>{
                                "preview " + field("username"), "resolve " + field("username"),
                                "preview " + field("password"), "resolve " + field("password"),
                                "preview " + field("otp"), "resolve " + field("otp")}));
  EXPECT_EQ(auditLines().size(), 3u);
}

TEST_F(FillLoginTest, AFieldInACrossOriginFrameOfTheActiveTabOnly) {
  // The frame's page says when it has loaded, in either tab.
  site.page("/inner",
            formPage("Inner", "<input name=\"pw\" type=\"password\">") +
                "<script>fetch('/inner-loaded')</script>",
            "/home");
  site.page("/outer",
            "<title>Outer</title><iframe src=\"" + site.localhostURL("/inner") + "\"></iframe>");
  startBrowser();
  store("password", "frame-Pa55", {"localhost"});
  ok("browser_navigate", {{"url", site.url("/outer")}});
  // The same page in a second tab, opened as another DevTools client would: its frame is no
  // candidate.
  httplib::Client devtools("127.0.0.1", static_cast<int>(cdpPort));
  ASSERT_TRUE(devtools.Put("/json/new?" + site.url("/outer")));
  ASSERT_TRUE(site.waitFor("/inner-loaded", 2));

  EXPECT_EQ(
      ok("browser_fill", {{"ref", field("password")}, {"field", "password"}, {"submit", true}}),
      (Json{{"filled", true},
            {"field", "password"},
            {"origin", site.localhostURL("")},
            {"submitted", true}}));
  ASSERT_TRUE(site.waitFor("/home"));
  const std::vector<LoginSite::Request> inner = site.requestsTo("/inner");
  ASSERT_EQ(posted("/inner").size(), 1u);
  EXPECT_TRUE(formValue(posted("/inner")[0], "pw") == "frame-Pa55");
  EXPECT_EQ(inner.back().host, "localhost:" + std::to_string(site.port()));
}

TEST_F(FillLoginTest, SelectorsHiddenFieldsAndTheFieldChecks) {
  site.page("/form",
            formPage("Form",
                     "<input type=\"password\" name=\"hidden\" style=\"display:none\">"
                     "<input type=\"password\" name=\"pw\">"
                     "<input name=\"pin&quot;\\\" type=\"tel\">"
                     "<input type=\"email\" name=\"a\"><input type=\"email\" name=\"b\">"
                     "<input type=\"text\" name=\"visible\">"),
            "/home");
  startBrowser();
  store("password", "hidden-Pa55", {"127.0.0.1"});
  store("pin", "pin-4711", {"127.0.0.1"});
  ok("browser_navigate", {{"url", site.url("/form")}});

  // Two e-mail fields, a selector for several, an empty selector, a password into a text field,
  // custom without a selector: each refused before the vault is asked.
  EXPECT_EQ(fails("browser_fill", {{"ref", field("password")}, {"field", "username"}}),
            "error: 2 username fields match — disambiguate with a selector");
  EXPECT_EQ(fails("browser_fill",
                  {{"ref", field("password")}, {"field", "custom"}, {"selector", "input"}}),
            "error: 5 custom fields match — disambiguate with a selector");
  EXPECT_EQ(
      fails("browser_fill", {{"ref", field("password")}, {"field", "custom"}, {"selector", ""}}),
      "error: no custom field found on " + site.url("/form") +
          " — is the right tab active? (browser_tabs lists them)");
  EXPECT_EQ(fails("browser_fill", {{"ref", field("password")}, {"field", "custom"}}),
            R"(error: invalidArguments("field \'custom\' requires a selector"))");
  EXPECT_TRUE(vaultTraffic().empty());
  EXPECT_EQ(
      fails("browser_fill",
            {{"ref", field("password")}, {"field", "password"}, {"selector", "[name=visible]"}}),
      "error: refusing to type a password into a visible input (type=text) — passwords only "
      "go into input[type=password]");
  EXPECT_EQ(vaultTraffic(), std::vector<std::string>{"preview " + field("password")});

  // A quote and a backslash in a selector match as written; the hidden password field is no
  // candidate.
  EXPECT_EQ(ok("browser_fill", {{"ref", field("pin")},
                                {"field", "custom"},
                                {"selector", R"([name="pin\"\\"])"}})["origin"],
            site.url(""));
  EXPECT_EQ(ok("browser_fill",
               {{"ref", field("password")}, {"field", "password"}, {"submit", true}})["field"],
            "password");
  ASSERT_TRUE(site.waitFor("/home"));
  ASSERT_EQ(posted("/form").size(), 1u);
  EXPECT_TRUE(formValue(posted("/form")[0], "pw") == "hidden-Pa55");
  EXPECT_TRUE(formValue(posted("/form")[0], "pin\"\\") == "pin-4711");
  EXPECT_EQ(formValue(posted("/form")[0], "hidden"), "");
}

// Without a form the submit clicks the best-scored visible button (a "Sign in" beside the field
// over a "Forgot password"; the first of equals), and presses Enter when no button scores.
TEST_F(FillLoginTest, SubmitWithoutAFormClicksTheBestButtonElsePressesEnter) {
  const std::string report =
      "<script>const report = (what) => fetch('/did-' + what);"
      "document.addEventListener('keydown', (e) => e.key === 'Enter' && "
      "report('enter'));</script>";
  site.page("/buttons",
            "<title>Buttons</title><input type=\"password\" name=\"pw\">"
            "<button onclick=\"report('signin')\">Sign in</button>"
            "<div><div><button onclick=\"report('forgot')\">Forgot password</button>"
            "</div></div>" +
                report);
  site.page("/equal",
            "<title>Equal</title><input type=\"password\" name=\"pw\">"
            "<button onclick=\"report('first')\">Next</button>"
            "<button onclick=\"report('second')\">Next</button>" +
                report);
  site.page("/menu",
            "<title>Menu</title><input type=\"password\" name=\"pw\">"
            "<button onclick=\"report('menu')\">Menu</button>"
            "<button disabled onclick=\"report('continue')\">Continue</button>" +
                report);
  startBrowser();
  store("password", "button-Pa55", {"127.0.0.1"});
  // A click counts as a submission; an Enter that submitted no form does not.
  struct Case {
    std::string page;
    std::string reported;
    bool submitted;
  };
  for (const Case& c : std::vector<Case>{{"/buttons", "/did-signin", true},
                                         {"/equal", "/did-first", true},
                                         {"/menu", "/did-enter", false}}) {
    ok("browser_navigate", {{"url", site.url(c.page)}});
    EXPECT_EQ(
        ok("browser_fill",
           {{"ref", field("password")}, {"field", "password"}, {"submit", true}})["submitted"],
        c.submitted);
    EXPECT_TRUE(site.waitFor(c.reported)) << c.page;
  }
  for (const std::string never : {"/did-forgot", "/did-second", "/did-menu", "/did-continue"}) {
    EXPECT_TRUE(site.requestsTo(never).empty()) << never;
  }
  EXPECT_EQ(site.requestsTo("/did-enter").size(), 1u);
}

TEST_F(FillLoginTest, AHostilePageCannotClaimTheItemsOrigin) {
  // The page answers any probe run in its own world with the item's origin.
  site.page("/hostile",
            "<title>Hostile</title><script>const claim = '" + site.localhostURL("") +
                "';JSON.stringify = () => '{\"count\":1,\"type\":\"password\",\"origin\":\"' + "
                "claim + '\"}';Object.defineProperty(document, 'readyState', {get: () => "
                "'complete'});</script><input type=\"password\" name=\"pw\">");
  startBrowser();
  store("password", "hostile-Pa55", {"localhost"}, true);
  ok("browser_navigate", {{"url", site.url("/hostile")}});
  EXPECT_EQ(fails("browser_fill", {{"ref", field("password")}, {"field", "password"}}),
            "error: origin mismatch — the page is " + site.url("") +
                " but the credential is locked to localhost; the value was NOT filled");
  // No approval was asked and nothing released or typed.
  EXPECT_EQ(vaultTraffic(), std::vector<std::string>{"preview " + field("password")});
  EXPECT_TRUE(site.requestsTo("/typed").empty());
}

TEST_F(FillLoginTest, APageThatLeavesForAnotherOriginDuringTheApprovalReceivesNothing) {
  site.page("/login", formPage("Sign in", "<input type=\"password\" name=\"pw\">"), "/home");
  site.page("/elsewhere",
            "<title>Elsewhere</title><input type=\"password\" name=\"pw\" autofocus>"
            "<script>fetch('/elsewhere-loaded')</script>");
  startBrowser();
  store("password", "pending-Pa55", {"127.0.0.1", "localhost"}, true);
  ok("browser_navigate", {{"url", site.url("/login")}});

  const int fillId = nextId();
  ASSERT_TRUE(server->sendLine(
      toolsCall(fillId, "browser_fill", {{"ref", field("password")}, {"field", "password"}})));
  const std::optional<std::string> prompt = server->readLine();
  ASSERT_TRUE(prompt);
  const Json approval = parseReply(*prompt).value_or(Json::object());
  ASSERT_EQ(approval.value("method", ""), "elicitation/create") << leaks.redact(*prompt);

  // While the human decides, the tab moves to the other origin (its reply waits behind the
  // fill's, so the page says when it has loaded).
  const int navigateId = nextId();
  ASSERT_TRUE(server->sendLine(
      toolsCall(navigateId, "browser_navigate", {{"url", site.localhostURL("/elsewhere")}})));
  ASSERT_TRUE(site.waitFor("/elsewhere-loaded"));
  ASSERT_TRUE(server->sendLine(
      support::dumpCompact(Json{{"jsonrpc", "2.0"},
                                {"id", approval["id"]},
                                {"result", {{"action", "accept"}, {"content", Json::object()}}}})));

  const std::optional<std::string> fillReply = server->readLine();
  ASSERT_TRUE(fillReply);
  EXPECT_EQ(toolResult(parseReply(*fillReply).value_or(Json::object())),
            (ToolResult{"error: nothing was typed: the page was reloaded or left since the field "
                        "was located",
                        true}));
  ASSERT_TRUE(server->readLine());  // the navigation's reply
  EXPECT_TRUE(site.requestsTo("/typed").empty());
  EXPECT_TRUE(posted("/login").empty());
}

TEST_F(FillLoginTest, WebLoginThroughATwoStepForm) {
  site.page("/step1",
            formPage("Sign in", "<input name=\"user\" autocomplete=\"username\">",
                     "<button>Next</button>"),
            "/step2");
  site.page("/step2", formPage("Password", "<input type=\"password\" name=\"pw\">"), "/home");
  startBrowser();
  store("username", "two-step@example.com", {"127.0.0.1"}, false, site.url("/step1"));
  store("password", "Two-Step-Pa55", {"127.0.0.1"}, false, site.url("/step1"));
  vault->answer("preview", field("otp"), VaultReply::errorEnvelope("no such field"));

  EXPECT_EQ(ok("web_login", {{"ref", kItem}}), (Json{{"status", "logged_in"},
                                                     {"step", "credentials submitted"},
                                                     {"page_url", site.url("/home")},
                                                     {"filled", {"username", "password"}}}));
  ASSERT_EQ(posted("/step1").size(), 1u);
  ASSERT_EQ(posted("/step2").size(), 1u);
  EXPECT_TRUE(formValue(posted("/step1")[0], "user") == "two-step@example.com");
  EXPECT_TRUE(formValue(posted("/step2")[0], "pw") == "Two-Step-Pa55");
  for (const std::string& line : auditLines()) {
    EXPECT_EQ(support::parseJson(line).value_or(Json::object()).value("tool", ""), "web_login");
  }
}

TEST_F(FillLoginTest, WebLoginNeedsAHumanForAFieldTheItemLacks) {
  site.page("/login",
            formPage("Sign in",
                     "<input name=\"user\" type=\"email\">"
                     "<input type=\"password\" name=\"pw\">"),
            "/code");
  site.page("/code", formPage("Code", "<input name=\"otp\">"), "/home");
  startBrowser();
  store("username", "code@example.com", {"127.0.0.1"}, false, site.url("/login"));
  store("password", "Code-Pa55", {"127.0.0.1"}, false, site.url("/login"));
  vault->answer("preview", field("otp"), VaultReply::errorEnvelope("no such field"));

  EXPECT_EQ(ok("web_login", {{"ref", field("password")}}),
            (Json{{"status", "needs_human"},
                  {"step",
                   "the page shows otp field(s) this item has no credential for — add it (e.g. "
                   "secret_update username:) or fill it with browser_fill/manually"},
                  {"page_url", site.url("/code")},
                  {"filled", {"username", "password"}}}));
  EXPECT_TRUE(posted("/code").empty());
}

TEST_F(FillLoginTest, WebLoginIsStuckOnAPageThatNeverChanges) {
  site.page("/static", "<title>Static</title><p>no form here</p>");
  startBrowser();
  store("password", "static-Pa55", {"127.0.0.1"}, false, site.url("/static"));
  EXPECT_EQ(ok("web_login", {{"ref", kItem}}), (Json{{"status", "stuck"},
                                                     {"step", "could not find a password field"},
                                                     {"page_url", site.url("/static")},
                                                     {"filled", Json::array()}}));
  EXPECT_TRUE(site.requestsTo("/typed").empty());
}

// Hostile pages, one per way a page (or a confused agent) has tried to get a value where it must
// not go. After each: the call ended within the browser's budget, no value was typed anywhere but
// the one element the fill verified, and (TearDown) no value is in anything the agent can read.
struct HostileCase {
  std::string name;
  // Served at "/page" on 127.0.0.1 (with these headers), and at other paths of both origins.
  std::string html;
  std::map<std::string, std::string> others;
  std::map<std::string, std::string> headers;
  // Runs the calls against the page (already open unless the case opens it itself) and returns
  // the text of the result that matters.
  std::function<std::string(class HostilePageTest&)> act;
  // What that result must contain.
  std::string expected;
  // The only form field names (as the page reports them) that may have received each kind's
  // value: "password", "username".
  std::map<std::string, std::string> landed;
  // Whether the password asks for approval (the page acts while it waits).
  bool gated = false;
  // Values of the item other than the usual ones, by kind ("username", "password").
  std::map<std::string, std::string> values = {};
};

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.name;
}

class HostilePageTest : public FillLoginTest, public testing::WithParamInterface<HostileCase> {
 public:
  // For the cases' own steps.
  using FillLoginTest::nextId;
  using FillLoginTest::server;
  using FillLoginTest::site;
  // One call, timed; its result text (redacted), "ok" for a success.
  std::string timed(const std::string& tool, const Json& args) {
    const auto begin = std::chrono::steady_clock::now();
    const ToolResult result = call(tool, args);
    longest = std::max(longest, std::chrono::steady_clock::now() - begin);
    return result.isError ? leaks.redact(result.text) : "ok";
  }

  // A browser_fill of the gated password whose approval is given once the page requested
  // `signal` (the page's change is done), or at once without one; with `meanwhile` run between.
  std::string fillWhileApproving(const Json& args, const std::string& signal,
                                 const std::function<void()>& meanwhile = {}) {
    const auto begin = std::chrono::steady_clock::now();
    const int id = nextId();
    EXPECT_TRUE(server->sendLine(toolsCall(id, "browser_fill", args)));
    const std::optional<std::string> prompt = server->readLine();
    const Json approval = parseReply(prompt.value_or("")).value_or(Json::object());
    EXPECT_EQ(approval.value("method", ""), "elicitation/create");
    if (meanwhile) meanwhile();
    if (!signal.empty()) {
      EXPECT_TRUE(site.waitFor(signal));
    }
    EXPECT_TRUE(server->sendLine(support::dumpCompact(
        Json{{"jsonrpc", "2.0"},
             {"id", approval["id"]},
             {"result", {{"action", "accept"}, {"content", Json::object()}}}})));
    const std::optional<ToolResult> result =
        toolResult(parseReply(server->readLine().value_or("")).value_or(Json::object()));
    longest = std::max(longest, std::chrono::steady_clock::now() - begin);
    if (!result) return "no reply";
    return result->isError ? leaks.redact(result->text) : "ok";
  }

  // A call whose result comes as timed() gives it, with the server's thread count read while it
  // runs (the wait for the reply paces the readings); the most seen goes to `peakThreads`.
  std::string countingThreads(const std::string& tool, const Json& args) {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(server->sendLine(toolsCall(nextId(), tool, args)));
    std::optional<std::string> reply;
    while (!reply && std::chrono::steady_clock::now() - begin < 2 * kFailureGuard) {
      reply = server->readLine(std::chrono::milliseconds(10));
      std::ifstream status("/proc/" + std::to_string(server->pid()) + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Threads:"))
          peakThreads = std::max(peakThreads, std::stol(line.substr(8)));
      }
    }
    longest = std::max(longest, std::chrono::steady_clock::now() - begin);
    const std::optional<ToolResult> result =
        toolResult(parseReply(reply.value_or("")).value_or(Json::object()));
    if (!result) return "no reply";
    return result->isError ? leaks.redact(result->text) : "ok";
  }

  // How many tabs browser_tabs lists.
  std::size_t tabCount() {
    const ToolResult result = call("browser_tabs", {{"action", "list"}});
    EXPECT_FALSE(result.isError) << leaks.redact(result.text);
    return support::parseJson(result.text).value_or(Json::object()).value("tabs", Json()).size();
  }

  std::chrono::steady_clock::duration longest{};
  long peakThreads = 0;
};

const Json kPassword = {{"ref", kItem + "/password"}, {"field", "password"}};

// Replaces the page's address with 1.9 MB ones as fast as the browser takes them, for some seconds
// from the load.
const std::string kAddressFlood =
    "<script>onload = () => { const big = 'a'.repeat(1900000); const end = Date.now() + 2000; "
    "let n = 0; const flood = () => { for (let i = 0; i < 20 && Date.now() < end; ++i) "
    "history.replaceState(null, '', '/page?' + n++ + big); if (Date.now() < end) "
    "setTimeout(flood, 0); }; flood(); };</script>";

// A login form; `form` holds the form's attributes.
std::string loginForm(const std::string& form = "method=\"post\"", const std::string& extra = "") {
  return "<title>Sign in</title><form " + form +
         "><input name=\"user\" id=\"user\" type=\"email\"><input name=\"pw\" id=\"pw\" "
         "type=\"password\"><button>Sign in</button></form>" +
         extra;
}

// Reports "/cleared" once the password field was typed into and then emptied.
const std::string kClearedReport =
    "<script>let typedOnce = false; pw.addEventListener('input', () => { typedOnce = true; "
    "setInterval(() => typedOnce && pw.value === '' && (typedOnce = false, "
    "navigator.sendBeacon('/cleared')), 10); });</script>";

// Opens a script that runs the code after it once the password field has the focus (a page in the
// background gets no focus events). Closed by "});</script>".
const std::string kOnceFocused =
    "<script>const onceFocused = (act) => { const watch = setInterval(() => { if "
    "(document.activeElement === pw) { clearInterval(watch); act(); } }, 5); }; onceFocused(() "
    "=> { ";

// The password typed without a submit; then a later call's submit, from the field "#note" outside
// the form, clicks the form's button.
std::string typedThenSubmittedFromOutside(HostilePageTest& t) {
  EXPECT_EQ(t.timed("browser_fill", kPassword), "ok");
  return t.timed(
      "browser_fill",
      {{"ref", kItem + "/username"}, {"field", "custom"}, {"selector", "#note"}, {"submit", true}});
}

// The password by browser_fill with a submit, then by web_login on the page opened afresh: both
// refused alike; the login's text.
std::string refusedByFillAndByLogin(HostilePageTest& t) {
  const std::string filled = t.timed(
      "browser_fill", {{"ref", kItem + "/password"}, {"field", "password"}, {"submit", true}});
  (void)t.timed("browser_navigate", {{"url", t.site.url("/page")}});
  const std::string login = t.timed("web_login", {{"ref", kItem}});
  EXPECT_EQ(filled, login);
  return login;
}

// A hidden frame and a form posted into it, which the login form's submit handler submits too.
const std::string kTrackedSubmit =
    "<iframe name=\"sink\" style=\"display:none\"></iframe><form id=\"track\" method=\"post\" "
    "action=\"/track\" target=\"sink\"><input type=\"hidden\" name=\"t\" value=\"1\"></form>"
    "<script>document.forms[0].addEventListener('submit', () => track.requestSubmit());</script>";

const HostileCase kHostileCases[] = {
    // Values the browser rewrites as they are set (line breaks dropped by inputs, blanks trimmed
    // by e-mail inputs, CR LF read as LF by text areas) stay guarded.
    {"APasswordEndingInALineFeedOnAGetForm",
     loginForm("method=\"get\" action=\"/home\""),
     {},
     {},
     refusedByFillAndByLogin,
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}, {"username", "user"}},
     false,
     {{"password", "Hostile-Canary-Pa55\n"}}},
    {"APasswordWithCrLfInsidePostedToAnotherOrigin",
     loginForm("method=\"post\" action=\"@OTHER@/steal\""),
     {},
     {},
     refusedByFillAndByLogin,
     "not submitted: the form sends to http://localhost:",
     {{"password", "pw"}, {"username", "user"}},
     false,
     {{"password", "Hostile-Canary\r\n-Pa55"}}},
    {"BlanksAroundAnEmailPostedToAnotherOrigin",
     loginForm("method=\"post\" action=\"@OTHER@/steal\""),
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill",
                      {{"ref", kItem + "/username"}, {"field", "username"}, {"submit", true}});
     },
     "not submitted: the form sends to http://localhost:",
     {{"username", "user"}},
     false,
     {{"username", "  hostile-user@example.com  "}}},
    {"CrLfInATextareaPostedToAnotherOrigin",
     "<title>Note</title><form method=\"post\" action=\"@OTHER@/steal\"><textarea name=\"field\" "
     "id=\"note\"></textarea><button>Save</button></form>",
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill", {{"ref", kItem + "/username"},
                                       {"field", "custom"},
                                       {"selector", "#note"},
                                       {"submit", true}});
     },
     "not submitted: the form sends to http://localhost:",
     {{"username", "field"}},
     false,
     {{"username", "hostile-user\r\n@example.com"}}},
    // A second form submitted from the login form's submit handler hides neither submission.
    {"ASecondFormsRequestSubmitInsideTheLoginsSubmitHandler",
     loginForm("method=\"get\" action=\"/home\"", kTrackedSubmit),
     {},
     {},
     refusedByFillAndByLogin,
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}, {"username", "user"}}},
    // A refused submission into a new window opens none and sends nothing, by GET or by POST.
    {"ARefusedSubmissionToANewWindowSendsNothing",
     loginForm("method=\"get\" action=\"/home\" target=\"_blank\""),
     {{"/page2", loginForm("method=\"post\" action=\"@OTHER@/steal\" target=\"_blank\"")}},
     {},
     [](HostilePageTest& t) {
       const Json submit = {{"ref", kItem + "/password"}, {"field", "password"}, {"submit", true}};
       const std::string get = t.timed("browser_fill", submit);
       EXPECT_NE(get.find("(method GET)"), std::string::npos) << get;
       EXPECT_EQ(t.tabCount(), 1u);
       (void)t.timed("browser_navigate", {{"url", t.site.url("/page2")}});
       const std::string posted = t.timed("browser_fill", submit);
       EXPECT_EQ(t.tabCount(), 1u);
       EXPECT_TRUE(t.site.requestsTo("/home").empty());
       EXPECT_TRUE(t.site.requestsTo("/steal").empty());
       return posted;
     },
     "not submitted: the form sends to http://localhost:",
     {{"password", "pw"}}},
    {"GetSearchFormTakesNoPassword",
     "<title>Search</title><form method=\"get\" action=\"/search\"><input name=\"q\" "
     "id=\"q\"><button>Search</button></form>",
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill", {{"ref", kItem + "/password"},
                                       {"field", "custom"},
                                       {"selector", "#q"},
                                       {"submit", true}});
     },
     "the vault holds a password there",
     {}},
    {"OneTimeCodeSeedIsNoCustomValue",
     "<title>Search</title><form method=\"get\" action=\"/search\"><input name=\"q\" "
     "id=\"q\"><button>Search</button></form>",
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed(
           "browser_fill",
           {{"ref", kItem + "/otp"}, {"field", "custom"}, {"selector", "#q"}, {"submit", true}});
     },
     "the vault holds a one-time-code seed there",
     {}},
    {"UsernameFieldWithAPasswordReference",
     loginForm(),
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill", {{"ref", kItem + "/password"}, {"field", "username"}});
     },
     "field username does not fit",
     {}},
    {"ConcurrentFillsEachKeepTheirOwnElement",
     loginForm(),
     {},
     {},
     [](HostilePageTest& t) {
       // While the password waits for approval, another fill locates and types the username:
       // the password's element has lost the focus, and nothing of it goes to the username.
       const int other = t.nextId();
       const std::string result = t.fillWhileApproving(kPassword, "/typed", [&] {
         EXPECT_TRUE(t.server->sendLine(toolsCall(
             other, "browser_fill", {{"ref", kItem + "/username"}, {"field", "username"}})));
       });
       const std::optional<ToolResult> second =
           toolResult(parseReply(t.server->readLine().value_or("")).value_or(Json::object()));
       EXPECT_TRUE(second && !second->isError);
       return result;
     },
     "nothing was typed: the field lost the focus since the field was located",
     {{"username", "user"}},
     true},
    {"TypeChangedDuringTheApproval",
     loginForm("method=\"post\"",
               kOnceFocused + "pw.type = 'text'; navigator.sendBeacon('/changed'); });</script>"),
     {},
     {},
     [](HostilePageTest& t) { return t.fillWhileApproving(kPassword, "/changed"); },
     "nothing was typed: the field is no longer a password input (type=text)",
     {},
     true},
    {"BeforeinputMovesTheFocus",
     loginForm("method=\"post\"",
               "<script>pw.addEventListener('beforeinput', () => user.focus());</script>"),
     {},
     {},
     [](HostilePageTest& t) { return t.timed("browser_fill", kPassword); },
     "ok",
     {{"password", "pw"}}},
    {"FocusTogglingNeverRedirectsTheValue",
     loginForm("method=\"post\"",
               "<script>setInterval(() => (document.activeElement === pw ? user : pw).focus(), "
               "1);</script>"),
     {},
     {},
     [](HostilePageTest& t) {
       for (int fill = 0; fill < 8; ++fill) {
         const std::string result = t.timed("browser_fill", kPassword);
         EXPECT_TRUE(result == "ok" || result.find("lost the focus") != std::string::npos)
             << result;
       }
       return std::string("done");
     },
     "done",
     {{"password", "pw"}}},
    {"AnchorClaimingThePasswordType",
     "<title>Sign in</title><a type=\"password\" contenteditable id=\"fake\" "
     "href=\"#\">x</a><input type=\"password\" name=\"pw\">",
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill",
                      {{"ref", kItem + "/password"}, {"field", "password"}, {"selector", "#fake"}});
     },
     "refusing to type a password into a visible input (type=<a>)",
     {}},
    {"SandboxedFrameOfTheSameSite",
     "<title>Outer</title><iframe sandbox=\"allow-scripts allow-forms\" "
     "src=\"/inner\"></iframe>",
     {{"/inner", loginForm("method=\"post\" action=\"/inner\"",
                           "<script>navigator.sendBeacon('/inner-loaded')</script>")}},
     {},
     [](HostilePageTest& t) {
       EXPECT_TRUE(t.site.waitFor("/inner-loaded"));
       return t.timed("browser_fill", kPassword);
     },
     "opaque origin",
     {}},
    {"ContentSecurityPolicySandbox",
     loginForm(),
     {},
     {{"Content-Security-Policy", "sandbox allow-scripts allow-forms"}},
     [](HostilePageTest& t) { return t.timed("browser_fill", kPassword); },
     "opaque origin",
     {}},
    {"FormActionOnAnotherOrigin",
     "",  // set by the test: the action names the site's other origin
     {},
     {},
     [](HostilePageTest& t) {
       const std::string result = t.timed(
           "browser_fill", {{"ref", kItem + "/password"}, {"field", "password"}, {"submit", true}});
       EXPECT_TRUE(t.site.waitFor("/cleared"));
       return result;
     },
     "not submitted: the form sends to http://localhost:",
     {{"password", "pw"}}},
    {"GetLoginForm",
     loginForm("method=\"get\" action=\"/home\"", kClearedReport),
     {},
     {},
     [](HostilePageTest& t) {
       const std::string result = t.timed(
           "browser_fill", {{"ref", kItem + "/password"}, {"field", "password"}, {"submit", true}});
       EXPECT_TRUE(t.site.waitFor("/cleared"));
       return result;
     },
     "not submitted: the form would send the password in the URL (method GET); the typed value "
     "was cleared from the field",
     {{"password", "pw"}}},
    {"AlertOnLoad",
     loginForm("method=\"post\"", "<script>alert('hello from the page')</script>"),
     {},
     {},
     [](HostilePageTest& t) {
       const std::string dialog =
           "a JavaScript alert dialog is open on the page: \"hello from the page\" — answer it "
           "with browser_dialog first";
       EXPECT_EQ(t.timed("browser_navigate", {{"url", t.site.url("/page")}}), "error: " + dialog);
       EXPECT_EQ(t.timed("browser_fill", kPassword), "error: " + dialog);
       EXPECT_EQ(t.timed("web_login", {{"ref", kItem}}), "error: " + dialog);
       EXPECT_EQ(t.timed("browser_dialog", {{"action", "accept"}}), "ok");
       return t.timed("browser_fill", kPassword);
     },
     "ok",
     {{"password", "pw"}}},
    {"StuckCrossSiteFrames",
     "",  // set by the test: three frames of the other origin
     {{"/stuck",
       "<script>onload = () => setTimeout(() => { const x = new XMLHttpRequest(); "
       "x.open('GET', '/hang', false); x.send(); }, 0);</script>"}},
     {},
     [](HostilePageTest& t) {
       EXPECT_TRUE(t.site.waitFor("/hang"));
       return t.timed("browser_fill", kPassword);
     },
     "ok",
     {{"password", "pw"}}},
    {"ControlsShadowingTheFormsMembers",
     loginForm("method=\"get\" action=\"/home\"",
               "<script>for (const name of ['method', 'action', 'elements', 'requestSubmit']) { "
               "const control = document.createElement('input'); control.type = 'hidden'; "
               "control.name = name; control.value = 'post'; "
               "document.forms[0].append(control); }</script>"),
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("browser_fill",
                      {{"ref", kItem + "/password"}, {"field", "password"}, {"submit", true}});
     },
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}}},
    {"AFormlessFieldsSubmitReachesTheFormHoldingThePassword",
     loginForm("method=\"get\" action=\"/home\"", "<input name=\"field\" id=\"note\">"),
     {},
     {},
     typedThenSubmittedFromOutside,
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}, {"username", "field"}}},
    {"ASubmittersFormactionOnAnotherOrigin",
     "",  // set by the test: the button's formaction names the site's other origin
     {},
     {},
     typedThenSubmittedFromOutside,
     "not submitted: the form sends to http://localhost:",
     {{"password", "pw"}, {"username", "field"}}},
    {"ASubmittersFormmethodGet",
     "<title>Sign in</title><form method=\"post\"><input name=\"pw\" id=\"pw\" "
     "type=\"password\"><button formmethod=\"get\">Sign in</button></form>"
     "<input name=\"field\" id=\"note\">",
     {},
     {},
     typedThenSubmittedFromOutside,
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}, {"username", "field"}}},
    {"WebLoginOnAGetFormWithTheCodeFieldOutside",
     loginForm("method=\"get\" action=\"/home\"", "<input name=\"otp\" id=\"otp\">"),
     {},
     {},
     [](HostilePageTest& t) {
       return t.timed("web_login", {{"ref", kItem}});
     },
     "not submitted: the form would send the password in the URL (method GET)",
     {{"password", "pw"}, {"username", "user"}}},
    {"FocusLostDuringTheApproval",
     loginForm("method=\"post\"",
               "<input id=\"other\">" + kOnceFocused +
                   "other.focus(); navigator.sendBeacon('/moved'); });</script>"),
     {},
     {},
     [](HostilePageTest& t) { return t.fillWhileApproving(kPassword, "/moved"); },
     "nothing was typed: the field lost the focus since the field was located",
     {},
     true},
    {"AddressFloodHoldsNoCallPastItsBudget",
     loginForm("method=\"post\"", kAddressFlood),
     {},
     {},
     [](HostilePageTest& t) {
       // Whatever they answer while the browser catches up, they answer within the budget; once
       // it has caught up, the same browser fills (the fill is sent again until then, for as long
       // as twice the failure guard).
       (void)t.timed("browser_navigate", {{"url", t.site.url("/page")}});
       (void)t.timed("browser_tabs", {{"action", "list"}});
       std::string filled;
       const auto until = std::chrono::steady_clock::now() + 2 * kFailureGuard;
       while (filled != "ok" && std::chrono::steady_clock::now() < until) {
         filled = t.timed("browser_fill", kPassword);
       }
       return filled;
     },
     "ok",
     {{"password", "pw"}}},
    {"HundredsOfCrossSiteFrames",
     "",  // set by the test: a login form beside 300 frames of the other origin
     {{"/frame", "<p>frame"}},
     {},
     [](HostilePageTest& t) {
       // The page may take the navigation's whole budget to load its frames.
       (void)t.timed("browser_navigate", {{"url", t.site.url("/page")}});
       const std::string filled = t.countingThreads("browser_fill", kPassword);
       EXPECT_LE(t.peakThreads, 64);
       return filled;
     },
     "ok",
     {{"password", "pw"}}},
};

TEST_P(HostilePageTest, NothingLandsButInTheVerifiedElement) {
  const HostileCase& c = GetParam();
  std::string html = c.html;
  if (c.name == "FormActionOnAnotherOrigin") {
    html =
        loginForm("method=\"post\" action=\"" + site.localhostURL("/steal") + "\"", kClearedReport);
  } else if (c.name == "ASubmittersFormactionOnAnotherOrigin") {
    html =
        "<title>Sign in</title><form method=\"post\"><input name=\"pw\" id=\"pw\" "
        "type=\"password\"><button formaction=\"" +
        site.localhostURL("/steal") +
        "\">Sign in</button></form><input name=\"field\" id=\"note\">";
  } else if (c.name == "StuckCrossSiteFrames") {
    html = loginForm();
    for (int frame = 0; frame < 3; ++frame) {
      html += "<iframe src=\"" + site.localhostURL("/stuck") + "\"></iframe>";
    }
    site.hang("/hang");
  } else if (c.name == "HundredsOfCrossSiteFrames") {
    html = loginForm();
    for (int frame = 0; frame < 300; ++frame) {
      html +=
          "<iframe src=\"" + site.localhostURL("/frame?" + std::to_string(frame)) + "\"></iframe>";
    }
  }
  // "@OTHER@" stands for the site's other origin.
  const auto placed = [&](std::string text) {
    for (std::size_t at = text.find("@OTHER@"); at != std::string::npos; at = text.find("@OTHER@"))
      text.replace(at, 7, site.localhostURL(""));
    return text;
  };
  site.page("/page", placed(html), "/home", c.headers);
  for (const auto& [path, page] : c.others) site.page(path, placed(page));
  startBrowser();
  // Every value of the item, each of its own type, unlocked for this host only.
  const auto valueOf = [&](const std::string& kind, const std::string& usual) {
    const auto given = c.values.find(kind);
    return given == c.values.end() ? usual : given->second;
  };
  const std::string username = valueOf("username", "hostile-user@example.com");
  store("username", username, {"127.0.0.1"}, false, site.url("/page"));
  const std::string password = valueOf("password", "Hostile-Canary-Pa55");
  store("password", password, {"127.0.0.1"}, c.gated, site.url("/page"));
  store("otp", kSeed, {"127.0.0.1"});
  // These cases open the page themselves: its load is what they test.
  if (c.name != "AlertOnLoad" && c.name != "AddressFloodHoldsNoCallPastItsBudget" &&
      c.name != "HundredsOfCrossSiteFrames") {
    ok("browser_navigate", {{"url", site.url("/page")}});
  }

  const std::string result = c.act(*this);
  EXPECT_NE(result.find(c.expected), std::string::npos) << result;
  EXPECT_LE(longest, std::chrono::seconds(30));

  // Only the verified element received a value: every report of an input event that carries one
  // names that element, and no other request carries one.
  const std::map<std::string, std::string> values = {
      {"username", username}, {"password", password}, {"otp", kSeed}};
  for (const LoginSite::Request& request : site.requests()) {
    for (const auto& [kind, value] : values) {
      const std::vector<std::string> forms = sentForms(value);
      const auto carries = [&](const std::string& text) {
        return std::any_of(forms.begin(), forms.end(), [&](const std::string& form) {
          return text.find(form) != std::string::npos ||
                 text.find(support::percentEncode(form, "")) != std::string::npos;
        });
      };
      if (request.path == "/typed") {
        const auto allowed = c.landed.find(kind);
        for (const char* name : {"user", "pw", "q", "other", "field"}) {
          const std::string landed = formValue(request.body, name);
          if (std::find(forms.begin(), forms.end(), landed) == forms.end()) continue;
          EXPECT_TRUE(allowed != c.landed.end() && allowed->second == name)
              << kind << " landed in " << name;
        }
      } else {
        EXPECT_FALSE(carries(request.path + "?" + request.query + " " + request.body))
            << kind << " sent to " << request.path;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, HostilePageTest, testing::ValuesIn(kHostileCases),
                         [](const testing::TestParamInfo<HostileCase>& param) {
                           return param.param.name;
                         });

// Login pages of kinds real sites use, each of which must log in by web_login and by
// browser_fill (the username, then the password with a submit), with the credentials reaching
// the site where the page sends them.
struct LegitimateCase {
  std::string name;
  // The start page, served at "/login" on 127.0.0.1, and further pages of the site (path, page,
  // where a POST to it leads).
  std::string html;
  std::vector<std::array<std::string, 3>> others;
  // Where the credentials are posted.
  std::string sink;
  // Whether the pages are served as hosts under example.com ("@PORT@" in them stands for the
  // site's port) with the start page on www.example.com, the item bound to that address alone (so
  // by registrable domain), and the credentials expected at `sinkHost` (without its port).
  bool named = false;
  std::string sinkHost = "";
  // Whether the page logs in through a form submission, which the fill reports as submitted (else
  // its script posts the credentials, and leaves the page perhaps before the fill asks).
  bool submitEvent = true;
  // Whether the password goes into a popup the page opens when the username is submitted (which
  // reports "/popup-loaded" once loaded): browser_fill submits the username, and the test then
  // activates the popup.
  bool popup = false;
};

void PrintTo(const LegitimateCase& c, std::ostream* out) {
  *out << c.name;
}

class LegitimatePageTest : public FillLoginTest,
                           public testing::WithParamInterface<LegitimateCase> {
 protected:
  // Another origin of the same site (127.0.0.1, another port), for a login frame.
  LoginSite sameSite;
};

// Posts the form's entries by fetch() from the page's own submit handler and then leaves for
// /home; `f` is the form.
const std::string kPostedByHandler =
    "<script>f.addEventListener('submit', (e) => { e.preventDefault(); fetch('/api/login', "
    "{method: 'POST', body: new URLSearchParams(new FormData(f))}).then(() => location = "
    "'/home'); });</script>";

const std::string kUserAndPassword =
    "<input name=\"user\" type=\"email\"><input name=\"pw\" type=\"password\">"
    "<button>Sign in</button>";

const LegitimateCase kLegitimateCases[] = {
    {"AHiddenControlNamedAction",
     "<title>Sign in</title><form method=\"post\"><input type=\"hidden\" name=\"action\" "
     "value=\"login\">" +
         kUserAndPassword + "</form>",
     {},
     "/login"},
    {"AJavascriptActionWithAHandler",
     "<title>Sign in</title><form id=\"f\" action=\"javascript:void(0)\">" + kUserAndPassword +
         "</form>" + kPostedByHandler,
     {{"/api/login", "ok", ""}},
     "/api/login"},
    {"AMethodlessFormPostedByItsHandler",
     "<title>Sign in</title><form id=\"f\">" + kUserAndPassword + "</form>" + kPostedByHandler,
     {{"/api/login", "ok", ""}},
     "/api/login"},
    {"ACrossSiteIdentityFrameSubmittingToTheTop",
     "",  // set by the test: a frame of the site's other origin
     {{"/idp",
       "<title>Identity</title><form method=\"post\" target=\"_top\">" + kUserAndPassword +
           "</form>",
       "/home"}},
     "/idp"},
    {"ASameSiteLoginFrameSubmittingToTheTop",
     "",  // set by the test: a frame of the same site's other origin, whose pages these are
     {{"/idp",
       "<title>Identity</title><form method=\"post\" target=\"_top\">" + kUserAndPassword +
           "</form>",
       "/home"}},
     "/idp"},
    {"FieldsReadOnlyUntilFocused",
     "<title>Sign in</title><form method=\"post\"><input name=\"user\" type=\"email\" "
     "readonly onfocus=\"this.removeAttribute('readonly')\"><input name=\"pw\" "
     "type=\"password\" readonly onfocus=\"this.removeAttribute('readonly')\">"
     "<button>Sign in</button></form>",
     {},
     "/login"},
    {"AControlNamedRequestSubmit",
     "<title>Sign in</title><form method=\"post\">" + kUserAndPassword +
         "<input type=\"hidden\" name=\"requestSubmit\" value=\"1\"></form>",
     {},
     "/login"},
    {"ATwoCallLoginToASiblingHost",
     "<title>Sign in</title><form method=\"post\" "
     "action=\"http://login.example.com:@PORT@/session\">" +
         kUserAndPassword + "</form>",
     {{"/session", "<title>Session</title>", "/home"}},
     "/session",
     true,
     "login.example.com"},
    {"ASubmitHandlerChoosingARegionalHost",
     "<title>Sign in</title><form id=\"f\" method=\"post\" action=\"/session\">" +
         kUserAndPassword +
         "</form><script>f.addEventListener('submit', () => { f.action = "
         "'http://eu.example.com:@PORT@/session'; });</script>",
     {{"/session", "<title>Session</title>", "/home"}},
     "/session",
     true,
     "eu.example.com"},
    {"EnterOnAPageThatActsOnTheKeypress",
     "<title>Sign in</title><input name=\"user\" id=\"user\" type=\"email\"><input name=\"pw\" "
     "id=\"pw\" type=\"password\"><a href=\"#\" class=\"button\" onclick=\"go(); return "
     "false\">Sign in</a><script>const go = () => fetch('/api/login', {method: 'POST', body: new "
     "URLSearchParams({user: user.value, pw: pw.value})}).then(() => location = '/home'); "
     "document.addEventListener('keypress', (e) => e.key === 'Enter' && go());</script>",
     {{"/api/login", "ok", ""}},
     "/api/login",
     false,
     "",
     false},
    {"ALoginPopupOpenedByThePage",
     "<title>Sign in</title><form id=\"f\"><input name=\"user\" type=\"email\"><button>Next"
     "</button></form><script>f.addEventListener('submit', (e) => { e.preventDefault(); "
     "open('/popup', 'signin', 'width=480,height=640'); });</script>",
     {{"/popup",
       "<title>Sign in</title><form id=\"g\"><input type=\"hidden\" name=\"user\"><input "
       "name=\"pw\" type=\"password\"><button>Sign in</button></form><script>"
       "g.addEventListener('submit', (e) => { e.preventDefault(); g.user.value = "
       "opener.f.user.value; fetch('/session', {method: 'POST', body: new URLSearchParams(new "
       "FormData(g))}).then(() => { opener.location = '/home'; close(); }); });"
       "fetch('/popup-loaded');</script>",
       ""},
      {"/session", "ok", ""},
      {"/popup-loaded", "", ""}},
     "/session",
     false,
     "",
     true,
     true},
};

TEST_P(LegitimatePageTest, LogsInByWebLoginAndByBrowserFill) {
  const LegitimateCase& c = GetParam();
  std::string html = c.html;
  if (c.name == "ACrossSiteIdentityFrameSubmittingToTheTop") {
    html = "<title>Sign in</title><iframe src=\"" + site.localhostURL("/idp") + "\"></iframe>";
  }
  const bool framedBySameSite = c.name == "ASameSiteLoginFrameSubmittingToTheTop";
  LoginSite& sink = framedBySameSite ? sameSite : site;
  if (framedBySameSite) {
    html = "<title>Sign in</title><iframe src=\"" + sameSite.url("/idp") + "\"></iframe>";
    sameSite.page("/home", "<title>Home</title><p>welcome</p>");
  }
  const std::string port = std::to_string(site.port());
  for (std::size_t at = html.find("@PORT@"); at != std::string::npos; at = html.find("@PORT@")) {
    html.replace(at, 6, port);
  }
  site.page("/login", html, "/home");
  for (const auto& [path, page, next] : c.others) sink.page(path, page, next);
  // Right after the start: the page has had no focus yet.
  startBrowser();
  const std::string loginURL =
      c.named ? "http://www.example.com:" + port + "/login" : site.url("/login");
  const Json hosts = c.named ? Json::array() : Json{"127.0.0.1", "localhost"};
  store("username", "legit@example.com", hosts, false, loginURL);
  const std::string password = "Legit-Pa55-" + c.name;
  store("password", password, hosts, false, loginURL);
  vault->answer("preview", field("otp"), VaultReply::errorEnvelope("no such field"));
  const auto received = [&] {
    std::size_t count = 0;
    for (const LoginSite::Request& request : sink.requestsTo(c.sink)) {
      count += request.method == "POST" && formValue(request.body, "pw") == password &&
               formValue(request.body, "user") == "legit@example.com" &&
               (c.sinkHost.empty() || request.host == c.sinkHost + ":" + port);
    }
    return count;
  };

  const Json login = ok("web_login", {{"ref", kItem}});
  EXPECT_EQ(login.value("status", ""), "logged_in") << login.dump();
  EXPECT_EQ(login.value("filled", Json()), (Json{"username", "password"}));
  EXPECT_EQ(received(), 1u);

  ok("browser_navigate", {{"url", loginURL}});
  const Json opener = ok("browser_tabs", {{"action", "list"}}).value("tabs", Json::array());
  EXPECT_EQ(ok("browser_fill",
               {{"ref", field("username")}, {"field", "username"}, {"submit", c.popup}})["filled"],
            true);
  if (c.popup) {
    // The popup comes first once it opens; the agent activates it all the same.
    ASSERT_TRUE(site.waitFor("/popup-loaded", 2));
    ASSERT_EQ(opener.size(), 1u) << opener;
    const Json listed = ok("browser_tabs", {{"action", "list"}});
    std::string popupId;
    for (const Json& tab : listed.value("tabs", Json::array())) {
      if (tab["id"] != opener[0]["id"]) popupId = tab["id"];
    }
    const Json tabs = ok("browser_tabs", {{"action", "activate"}, {"id", popupId}});
    EXPECT_EQ(
        tabs["tabs"][0],
        (Json{
            {"id", popupId}, {"url", site.url("/popup")}, {"title", "Sign in"}, {"active", true}}));
  }
  const Json submitted =
      ok("browser_fill", {{"ref", field("password")}, {"field", "password"}, {"submit", true}});
  if (c.submitEvent) {
    EXPECT_EQ(submitted["submitted"], true);
  }
  ASSERT_TRUE(sink.waitFor("/home", 2));
  EXPECT_EQ(received(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Pages, LegitimatePageTest, testing::ValuesIn(kLegitimateCases),
                         [](const testing::TestParamInfo<LegitimateCase>& param) {
                           return param.param.name;
                         });

}  // namespace
}  // namespace varn::tests
