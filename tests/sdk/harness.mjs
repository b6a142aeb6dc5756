// The set-up the SDK client tests share: the server binary from the command line, a guard against
// hanging, a scratch folder, a fake vault on a Unix socket, a free port, and the official client
// connected to the real varn-mcp over stdio.

import fs from "node:fs";
import net from "node:net";
import path from "node:path";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

// The path of varn-mcp, the script's one argument; exits 2 without it.
export function serverBinary(script) {
  const binary = process.argv[2];
  if (!binary) {
    console.error(`usage: node ${script} <path of varn-mcp>`);
    process.exit(2);
  }
  return binary;
}

// A failure guard only: a broken server must not hang the test run.
export function failAfter(seconds) {
  return setTimeout(() => {
    console.error(`FAIL: no result within ${seconds} s`);
    process.exit(1);
  }, seconds * 1000);
}

// A scratch folder with a home in it; with `browser`, also a TMPDIR and a Chromium wrapper (as
// root Chromium exits at once without --no-sandbox, which the wrapper adds). Short paths: the
// socket path must stay well under the 104-byte limit.
export function scratch({ browser = false } = {}) {
  const dir = fs.mkdtempSync("/tmp/vm");
  const home = path.join(dir, "h");
  fs.mkdirSync(home);
  const places = { dir, home, socketPath: path.join(dir, "v.sock") };
  if (browser) {
    places.tmp = path.join(dir, "t");
    fs.mkdirSync(places.tmp);
    places.wrapper = path.join(dir, "chromium");
    fs.writeFileSync(places.wrapper, '#!/bin/sh\nexec /usr/bin/chromium --no-sandbox "$@"\n', {
      mode: 0o700,
    });
  }
  return places;
}

// The fake vault: one request line per connection, answered with `answer(request)` (an unreadable
// request is passed as {}) and closed. Every request line is kept in `requests`.
export async function fakeVault(socketPath, answer) {
  const requests = [];
  const server = net.createServer((connection) => {
    let buffer = "";
    connection.on("data", (chunk) => {
      buffer += chunk.toString("utf8");
      const end = buffer.indexOf("\n");
      if (end < 0) return;
      const line = buffer.slice(0, end);
      requests.push(line);
      let request = {};
      try {
        request = JSON.parse(line);
      } catch {
        // an unreadable request gets the answer to {}
      }
      connection.end(JSON.stringify(answer(request)) + "\n");
    });
    connection.on("error", () => {});
  });
  await new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(socketPath, resolve);
  });
  return { server, requests };
}

// A port on 127.0.0.1 that was free a moment ago.
export function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer();
    probe.listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// The official client over stdio to varn-mcp started with `args` and `env`. Collects the server's
// standard error in `stderr` and the client's protocol errors in `protocolErrors`; announces
// elicitation unless `elicitation` is false, and with `approve` accepts every elicitation, keeping
// its message in `prompts`. connect() connects.
export function serverClient(binary, { args = [], env, elicitation = true, approve = false }) {
  const transport = new StdioClientTransport({ command: binary, args, env, stderr: "pipe" });
  const session = {
    client: new Client(
      { name: "varn-e2e", version: "1.0.0" },
      { capabilities: elicitation ? { elicitation: {} } : {} },
    ),
    stderr: "",
    protocolErrors: [],
    prompts: [],
    connect: () => session.client.connect(transport),
  };
  transport.stderr?.on("data", (chunk) => {
    session.stderr += chunk.toString("utf8");
  });
  session.client.onerror = (error) => session.protocolErrors.push(String(error?.message ?? error));
  if (approve) {
    session.client.setRequestHandler(ElicitRequestSchema, (request) => {
      session.prompts.push(request.params.message);
      return { action: "accept", content: {} };
    });
  }
  return session;
}

// Runs `checks`, then closes the client, runs `cleanup`, removes the scratch folder `dir` and
// clears `guard`. Prints "FAIL: " and the error's message passed through `redact` (so that no
// secret is printed), with the client's protocol errors, or `success`; exits 1 or 0.
export async function runChecks(
  session,
  { dir, guard, cleanup = () => {}, redact = (text) => text, success },
  checks,
) {
  let failed = false;
  try {
    await checks();
  } catch (error) {
    failed = true;
    console.error(`FAIL: ${redact(String(error?.message ?? error))}`);
    if (session.protocolErrors.length > 0) {
      console.error(`client errors: ${session.protocolErrors.join(" | ")}`);
    }
  } finally {
    await session.client.close().catch(() => {});
    cleanup();
    fs.rmSync(dir, { recursive: true, force: true });
    clearTimeout(guard);
  }
  if (!failed) console.log(success);
  process.exit(failed ? 1 : 0);
}
