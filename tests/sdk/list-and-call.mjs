// The official TypeScript MCP client against the real varn-mcp: connect over stdio, list the 28
// tools, call secret_list against a fake vault on a Unix socket of our own. Exits 0 when every
// check holds, 1 otherwise (with what went wrong on standard error).
//
// Usage: node list-and-call.mjs <path of varn-mcp>

import assert from "node:assert/strict";

import { failAfter, fakeVault, runChecks, scratch, serverBinary, serverClient } from "./harness.mjs";

const binary = serverBinary("list-and-call.mjs");
const guard = failAfter(60);

const entries = [
  { ref: "varn://Work/GitHub/password", name: "GitHub", type: "password", ai_access: "injectable" },
  { ref: "varn://Work/Bank/pin", name: "Bank", type: "pin", ai_access: "human_gated" },
];

const { dir, home, socketPath } = scratch();
const vault = await fakeVault(socketPath, (request) =>
  request.op === "list" ? entries : { error: `fake vault: unexpected op ${request.op ?? ""}` },
);
const vaultRequests = vault.requests;

const session = serverClient(binary, { env: { HOME: home, VARN_SOCKET: socketPath } });
const { client, protocolErrors } = session;

const finish = {
  dir,
  guard,
  cleanup: () => {
    vault.server.close();
  },
  success: "list-and-call: 28 tools listed, secret_list answered",
};
await runChecks(session, finish, async () => {
  await session.connect();
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
  assert.equal(session.stderr, "", "the server wrote to standard error");
});
