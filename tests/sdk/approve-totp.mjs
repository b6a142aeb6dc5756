// The official TypeScript MCP client approves a one-time code: the fake vault marks the seed
// "needs_approval", the server asks the client with "elicitation/create", the client's handler
// accepts, and the code that totp_code returns must equal what oathtool computes for the seed.
// Exits 0 when every check holds, 1 otherwise (with what went wrong on standard error; the seed
// is never printed).
//
// Usage: node approve-totp.mjs <path of varn-mcp>

import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const binary = process.argv[2];
if (!binary) {
  console.error("usage: node approve-totp.mjs <path of varn-mcp>");
  process.exit(2);
}

// A failure guard only: a broken server must not hang the test run.
const guard = setTimeout(() => {
  console.error("FAIL: no result within 60 s");
  process.exit(1);
}, 60_000);

const ref = "varn://local/GitHub/otp";
const seed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

const dir = fs.mkdtempSync("/tmp/vm");
const home = path.join(dir, "h");
fs.mkdirSync(home);
const socketPath = path.join(dir, "v.sock");

// The fake vault: asks for approval until the request carries "approved": true.
const vaultRequests = [];
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
    if (request.op === "resolve" && request.ref === ref) {
      reply = request.approved === true ? { decision: "allowed", value: seed } : { decision: "needs_approval" };
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
  args: [],
  env: { HOME: home, VARN_SOCKET: socketPath },
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

const period = () => Math.floor(Date.now() / 1000 / 30);

let failed = false;
try {
  await client.connect(transport);
  let checked = false;
  // Retried once when the 30 s period turned between the call and oathtool.
  for (let attempt = 0; attempt < 2 && !checked; ++attempt) {
    const before = period();
    const result = await client.callTool({ name: "totp_code", arguments: { ref } });
    const expected = execFileSync("oathtool", ["--totp", "-b", seed], { encoding: "utf8" }).trim();
    if (period() !== before) continue;
    assert.equal(result.isError, false, `totp_code failed: ${result.content?.[0]?.text}`);
    const output = JSON.parse(result.content[0].text);
    assert.equal(output.code, expected, "the code differs from oathtool's");
    assert.ok(output.remaining_seconds >= 0 && output.remaining_seconds <= 30);
    checked = true;
  }
  assert.ok(checked, "the 30 s period turned during both attempts");
  assert.equal(prompts[0], `Approve totp_code using ${ref}? Accept to approve, Decline to refuse.`);
  assert.deepEqual(vaultRequests.slice(0, 2), [
    '{"op":"resolve","ref":"varn:\\/\\/local\\/GitHub\\/otp","approved":false}',
    '{"op":"resolve","ref":"varn:\\/\\/local\\/GitHub\\/otp","approved":true}',
  ]);
  const audit = fs.readFileSync(path.join(home, "Library/Application Support/Varn/mcp-audit.log"), "utf8");
  assert.ok(!audit.includes(seed), "the seed is in the audit file");
  assert.equal(JSON.parse(audit.split("\n")[0]).decision, "approved");
  assert.ok(!serverStderr.includes(seed), "the seed is on standard error");
  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
} catch (error) {
  failed = true;
  console.error(`FAIL: ${String(error?.message ?? error).split(seed).join("<seed>")}`);
  if (protocolErrors.length > 0) console.error(`client errors: ${protocolErrors.join(" | ")}`);
} finally {
  await client.close().catch(() => {});
  vault.close();
  fs.rmSync(dir, { recursive: true, force: true });
  clearTimeout(guard);
}

if (!failed) console.log("approve-totp: approval accepted, code matches oathtool");
process.exit(failed ? 1 : 0);
