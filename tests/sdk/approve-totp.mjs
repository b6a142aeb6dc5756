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
import path from "node:path";

import { failAfter, fakeVault, runChecks, scratch, serverBinary, serverClient } from "./harness.mjs";

const binary = serverBinary("approve-totp.mjs");
const guard = failAfter(60);

const ref = "varn://local/GitHub/otp";
const seed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

const { dir, home, socketPath } = scratch();
// The fake vault: asks for approval until the request carries "approved": true.
const vault = await fakeVault(socketPath, (request) => {
  if (request.op !== "resolve" || request.ref !== ref) return { decision: "refused" };
  return request.approved === true ? { decision: "allowed", value: seed } : { decision: "needs_approval" };
});
const vaultRequests = vault.requests;

const session = serverClient(binary, { env: { HOME: home, VARN_SOCKET: socketPath }, approve: true });
const { client, protocolErrors, prompts } = session;

const period = () => Math.floor(Date.now() / 1000 / 30);

const finish = {
  dir,
  guard,
  cleanup: () => {
    vault.server.close();
  },
  redact: (text) => text.split(seed).join("<seed>"),
  success: "approve-totp: approval accepted, code matches oathtool",
};
await runChecks(session, finish, async () => {
  await session.connect();
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
  assert.ok(!session.stderr.includes(seed), "the seed is on standard error");
  assert.deepEqual(protocolErrors, [], "the client reported protocol errors");
});
