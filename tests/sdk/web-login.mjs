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
import net from "node:net";
import path from "node:path";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const binary = process.argv[2];
if (!binary) {
  console.error("usage: node web-login.mjs <path of varn-mcp>");
  process.exit(2);
}

// A failure guard only: a broken server must not hang the test run.
const guard = setTimeout(() => {
  console.error("FAIL: no result within 90 s");
  process.exit(1);
}, 90_000);

const item = "varn://local/Shop";
const username = "sdk-user@example.com";
const password = "sdk-Pa55-word-7f3a";

const dir = fs.mkdtempSync("/tmp/vm");
const home = path.join(dir, "h");
fs.mkdirSync(home);
const tmp = path.join(dir, "t");
fs.mkdirSync(tmp);
const socketPath = path.join(dir, "v.sock");
// As root Chromium starts only with --no-sandbox, which the tests add through a wrapper.
const wrapper = path.join(dir, "chromium");
fs.writeFileSync(wrapper, '#!/bin/sh\nexec /usr/bin/chromium --no-sandbox "$@"\n', { mode: 0o700 });

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

// A free port for the browser's DevTools.
const cdpPort = await new Promise((resolve) => {
  const probe = net.createServer().listen(0, "127.0.0.1", () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

// The fake vault: one item with a username and a password field, bound to the site's host; the
// password asks for approval until the request carries "approved": true.
const vaultRequests = [];
const fields = { [`${item}/username`]: username, [`${item}/password`]: password };
const vault = net.createServer((connection) => {
  let buffer = "";
  connection.on("data", (chunk) => {
    buffer += chunk.toString("utf8");
    const end = buffer.indexOf("\n");
    if (end < 0) return;
    const line = buffer.slice(0, end);
    vaultRequests.push(line);
    let request = {};
    try {
      request = JSON.parse(line);
    } catch {
      // an unreadable request gets the refusal below
    }
    let reply = { decision: "refused" };
    const value = fields[request.ref];
    if (value !== undefined && request.op === "preview") {
      reply = { decision: "allowed", url: `${origin}/step1`, allowed_hosts: ["127.0.0.1"] };
    } else if (value !== undefined && request.op === "resolve") {
      const gated = value === password && request.approved !== true;
      reply = gated ? { decision: "needs_approval" } : { decision: "allowed", value };
    } else if (request.op === "list") {
      reply = [];
    }
    connection.end(JSON.stringify(reply) + "\n");
  });
  connection.on("error", () => {});
});
await new Promise((resolve, reject) => {
  vault.once("error", reject);
  vault.listen(socketPath, resolve);
});

const protocolErrors = [];
const transport = new StdioClientTransport({
  command: binary,
  args: ["--cdp-port", String(cdpPort)],
  env: { HOME: home, VARN_SOCKET: socketPath, VARN_BROWSER_BIN: wrapper, TMPDIR: tmp, PATH: "/usr/bin:/bin" },
  stderr: "pipe",
});
let serverStderr = "";
transport.stderr?.on("data", (chunk) => {
  serverStderr += chunk.toString("utf8");
});

const client = new Client({ name: "varn-e2e", version: "1.0.0" }, { capabilities: { elicitation: {} } });
client.onerror = (error) => protocolErrors.push(String(error?.message ?? error));
const prompts = [];
client.setRequestHandler(ElicitRequestSchema, (request) => {
  prompts.push(request.params.message);
  return { action: "accept", content: {} };
});

const replies = [];
const call = async (name, args) => {
  const result = await client.callTool({ name, arguments: args }, undefined, { timeout: 60_000 });
  replies.push(JSON.stringify(result));
  assert.equal(result.isError, false, `${name} failed: ${result.content?.[0]?.text}`);
  return JSON.parse(result.content[0].text);
};

let failed = false;
try {
  await client.connect(transport);
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
    ["standard error", serverStderr],
    ["a tab", JSON.stringify(tabs)],
  ]) {
    assert.ok(!text.includes(password) && !text.includes(username), `a typed value is in ${place}`);
  }
  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
} catch (error) {
  failed = true;
  const message = String(error?.message ?? error).split(password).join("<password>");
  console.error(`FAIL: ${message}`);
  if (protocolErrors.length > 0) console.error(`client errors: ${protocolErrors.join(" | ")}`);
} finally {
  await client.close().catch(() => {});
  vault.close();
  site.close();
  fs.rmSync(dir, { recursive: true, force: true });
  clearTimeout(guard);
}

if (!failed) console.log("web-login: one call, approval accepted, logged in");
process.exit(failed ? 1 : 0);
