// The official TypeScript MCP client drives a browser session through the real varn-mcp: start a
// headless Chromium, navigate to a page served on 127.0.0.1, list the tabs, stop. Exits 0 when
// every check holds, 1 otherwise (with what went wrong on standard error).
//
// Usage: node browser-session.mjs <path of varn-mcp>

import assert from "node:assert/strict";
import fs from "node:fs";
import http from "node:http";

import { failAfter, freePort, runChecks, scratch, serverBinary, serverClient } from "./harness.mjs";

const binary = serverBinary("browser-session.mjs");
const guard = failAfter(90);

const { dir, home, socketPath, tmp, wrapper } = scratch({ browser: true });

const pages = http.createServer((request, response) => {
  response.writeHead(request.url === "/page" ? 200 : 404, { "content-type": "text/html" });
  response.end("<title>SDK page</title><p>hello");
});
await new Promise((resolve) => pages.listen(0, "127.0.0.1", resolve));
const pageURL = `http://127.0.0.1:${pages.address().port}/page`;

const cdpPort = await freePort();

const session = serverClient(binary, {
  args: ["--cdp-port", String(cdpPort)],
  env: { HOME: home, VARN_SOCKET: socketPath, PATH: "/usr/bin:/bin", TMPDIR: tmp, VARN_BROWSER_BIN: wrapper },
  elicitation: false,
});
const { client, protocolErrors } = session;

// The tool's output record, failing the run on an error result.
async function run(name, args = {}) {
  const result = await client.callTool({ name, arguments: args });
  assert.equal(result.isError, false, `${name} failed: ${JSON.stringify(result)}`);
  return JSON.parse(result.content[0].text);
}

const finish = {
  dir,
  guard,
  cleanup: () => {
    pages.close();
  },
  success: "browser-session: started, navigated, listed one tab, stopped",
};
await runChecks(session, finish, async () => {
  await session.connect();
  assert.deepEqual(await run("browser_start", { headless: true }), {
    cdp_port: cdpPort,
    already_running: false,
  });
  assert.deepEqual(await run("browser_navigate", { url: pageURL }), { url: pageURL });
  const { tabs } = await run("browser_tabs", { action: "list" });
  assert.equal(tabs.length, 1, JSON.stringify(tabs));
  assert.equal(tabs[0].url, pageURL);
  assert.equal(tabs[0].title, "SDK page");
  assert.equal(tabs[0].active, true);
  assert.deepEqual(await run("browser_stop"), { stopped: true });
  assert.deepEqual(
    fs.readdirSync(tmp).filter((name) => name.startsWith("varn-browser-")),
    [],
    "the profile folder is gone",
  );
  const after = await client.callTool({ name: "browser_tabs", arguments: { action: "list" } });
  assert.equal(after.isError, true);
  assert.equal(after.content[0].text, "error: no Varn browser is running — call browser_start first");
  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
  assert.equal(session.stderr, "", "the server wrote to standard error");
});
