// The official TypeScript MCP client against the real varn-mcp: connect over stdio, list the 28
// tools, call secret_list against a fake vault on a Unix socket of our own. Exits 0 when every
// check holds, 1 otherwise (with what went wrong on standard error).
//
// Usage: node list-and-call.mjs <path of varn-mcp>

import assert from "node:assert/strict";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const binary = process.argv[2];
if (!binary) {
  console.error("usage: node list-and-call.mjs <path of varn-mcp>");
  process.exit(2);
}

// A failure guard only: a broken server must not hang the test run.
const guard = setTimeout(() => {
  console.error("FAIL: no result within 60 s");
  process.exit(1);
}, 60_000);

const entries = [
  { ref: "varn://Work/GitHub/password", name: "GitHub", type: "password", ai_access: "injectable" },
  { ref: "varn://Work/Bank/pin", name: "Bank", type: "pin", ai_access: "human_gated" },
];

// Short paths: the socket path must stay well under the 104-byte limit.
const dir = fs.mkdtempSync("/tmp/vm");
const home = path.join(dir, "h");
fs.mkdirSync(home);
const socketPath = path.join(dir, "v.sock");

// The fake vault: one request line per connection, answered and closed.
const vaultRequests = [];
const vault = net.createServer((connection) => {
  let buffer = "";
  connection.on("data", (chunk) => {
    buffer += chunk.toString("utf8");
    const end = buffer.indexOf("\n");
    if (end < 0) return;
    const line = buffer.slice(0, end);
    vaultRequests.push(line);
    let op = "";
    try {
      op = JSON.parse(line).op;
    } catch {
      // an unreadable request gets the envelope below
    }
    const reply = op === "list" ? entries : { error: `fake vault: unexpected op ${op}` };
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
  args: [],
  env: { HOME: home, VARN_SOCKET: socketPath },
  stderr: "pipe",
});
let serverStderr = "";
transport.stderr?.on("data", (chunk) => {
  serverStderr += chunk.toString("utf8");
});

const client = new Client(
  { name: "varn-e2e", version: "1.0.0" },
  { capabilities: { elicitation: {} } },
);
client.onerror = (error) => protocolErrors.push(String(error?.message ?? error));

let failed = false;
try {
  await client.connect(transport);
  assert.equal(client.getServerVersion()?.name, "varn-mcp");
  assert.equal(client.getServerVersion()?.version, "0.1.0");
  assert.ok(client.getServerCapabilities()?.tools, "the server announces tools");

  const { tools } = await client.listTools();
  assert.equal(tools.length, 28, "tools/list announces 28 tools");
  assert.equal(tools[0].name, "secret_list");
  assert.equal(tools[27].name, "credential_capture");
  assert.equal(new Set(tools.map((t) => t.name)).size, 28, "tool names are distinct");

  await client.ping();

  const result = await client.callTool({ name: "secret_list", arguments: {} });
  assert.equal(result.isError, false, `secret_list failed: ${JSON.stringify(result)}`);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, "text");
  assert.deepEqual(JSON.parse(result.content[0].text), { items: entries });
  assert.deepEqual(vaultRequests, ['{"op":"list"}']);

  const unknown = await client.callTool({ name: "no_such_tool", arguments: {} });
  assert.equal(unknown.isError, true);
  assert.equal(unknown.content[0].text, 'error: invalidArguments("unknown tool: no_such_tool")');

  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
  assert.equal(serverStderr, "", "the server wrote to standard error");
} catch (error) {
  failed = true;
  console.error(`FAIL: ${error?.message ?? error}`);
  if (protocolErrors.length > 0) console.error(`client errors: ${protocolErrors.join(" | ")}`);
} finally {
  await client.close().catch(() => {});
  vault.close();
  fs.rmSync(dir, { recursive: true, force: true });
  clearTimeout(guard);
}

if (!failed) console.log("list-and-call: 28 tools listed, secret_list answered");
process.exit(failed ? 1 : 0);
