// The official TypeScript MCP client logs a headless Chromium into a local two-step form with one
// web_login call: the fake vault marks the password "needs_approval", the server asks the client
// with "elicitation/create", the client's handler accepts, and the site must receive the stored
// username and password while no reply, no audit line and no standard error holds the password.
// Exits 0 when every check holds, 1 otherwise (the password is never printed).
//
// Usage: node web-login.mjs <path of varn-mcp>

import assert from "node:assert/strict";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";

import {
  failAfter,
  fakeVault,
  freePort,
  runChecks,
  scratch,
  serverBinary,
  serverClient,
} from "./harness.mjs";

const binary = serverBinary("web-login.mjs");
const guard = failAfter(90);

const item = "varn://local/Shop";
const username = "sdk-user@example.com";
const password = "sdk-Pa55-word-7f3a";

const { dir, home, socketPath, tmp, wrapper } = scratch({ browser: true });

// The site: a username page, a password page, then home; every form is posted.
const posted = [];
const pages = {
  "/step1": '<title>Sign in</title><form method="post" action="/step1"><input name="user" autocomplete="username"><button>Next</button></form>',
  "/step2": '<title>Password</title><form method="post" action="/step2"><input type="password" name="pw"><button>Sign in</button></form>',
  "/home": "<title>Home</title><p>welcome</p>",
};
const next = { "/step1": "/step2", "/step2": "/home" };
const site = http.createServer((req, res) => {
  let body = "";
  req.on("data", (chunk) => (body += chunk));
  req.on("end", () => {
    const route = req.url.split("?")[0];
    if (req.method === "POST" && next[route]) {
      posted.push({ route, form: Object.fromEntries(new URLSearchParams(body)) });
      res.writeHead(303, { Location: next[route] }).end();
    } else if (pages[route]) {
      res.writeHead(200, { "Content-Type": "text/html" }).end(pages[route]);
    } else {
      res.writeHead(404).end();
    }
  });
});
await new Promise((resolve) => site.listen(0, "127.0.0.1", resolve));
const origin = `http://127.0.0.1:${site.address().port}`;

const cdpPort = await freePort();

// The fake vault: one item with a username and a password field, each of its own type and bound
// to the site's host; the password asks for approval until the request carries "approved": true.
const fields = { [`${item}/username`]: username, [`${item}/password`]: password };
const vault = await fakeVault(socketPath, (request) => {
  const value = fields[request.ref];
  if (value !== undefined && request.op === "preview") {
    const type = value === username ? "username" : "password";
    return { decision: "allowed", type, url: `${origin}/step1`, allowed_hosts: ["127.0.0.1"] };
  }
  if (value !== undefined && request.op === "resolve") {
    const gated = value === password && request.approved !== true;
    return gated ? { decision: "needs_approval" } : { decision: "allowed", value };
  }
  return request.op === "list" ? [] : { decision: "refused" };
});

const session = serverClient(binary, {
  args: ["--cdp-port", String(cdpPort)],
  env: { HOME: home, VARN_SOCKET: socketPath, VARN_BROWSER_BIN: wrapper, TMPDIR: tmp, PATH: "/usr/bin:/bin" },
  approve: true,
});
const { client, protocolErrors, prompts } = session;

const replies = [];
const call = async (name, args) => {
  const result = await client.callTool({ name, arguments: args }, undefined, { timeout: 60_000 });
  replies.push(JSON.stringify(result));
  assert.equal(result.isError, false, `${name} failed: ${result.content?.[0]?.text}`);
  return JSON.parse(result.content[0].text);
};

const finish = {
  dir,
  guard,
  cleanup: () => {
    vault.server.close();
    site.close();
  },
  redact: (text) => text.split(password).join("<password>"),
  success: "web-login: one call, approval accepted, logged in",
};
await runChecks(session, finish, async () => {
  await session.connect();
  await call("browser_start", { headless: true });
  const login = await call("web_login", { ref: item });
  assert.deepEqual(login, {
    status: "logged_in",
    step: "credentials submitted",
    page_url: `${origin}/home`,
    filled: ["username", "password"],
  });
  assert.deepEqual(posted, [
    { route: "/step1", form: { user: username } },
    { route: "/step2", form: { pw: password } },
  ]);
  assert.deepEqual(prompts, [`Approve web_login using ${item}/password? Accept to approve, Decline to refuse.`]);
  const tabs = await call("browser_tabs", { action: "list" });
  await call("browser_stop", {});
  const audit = fs.readFileSync(path.join(home, "Library/Application Support/Varn/mcp-audit.log"), "utf8");
  assert.deepEqual(
    audit.trim().split("\n").map((line) => JSON.parse(line).decision),
    ["allowed", "approved"],
  );
  for (const [place, text] of [
    ["a reply", replies.join("\n")],
    ["the audit file", audit],
    ["standard error", session.stderr],
    ["a tab", JSON.stringify(tabs)],
  ]) {
    assert.ok(!text.includes(password) && !text.includes(username), `a typed value is in ${place}`);
  }
  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
});
