// Checks the input schemas that the real varn-mcp announces in its "tools/list" reply: every schema
// compiles as a JSON Schema, and a table of sample arguments passes or fails each schema as the
// tools' input records would. Exits 0 when every check holds, 1 otherwise (with every failure on
// standard error).
//
// Usage: node validate-tool-schemas.mjs <path of varn-mcp>

import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";

import Ajv from "ajv";

const binary = process.argv[2];
if (!binary) {
  console.error("usage: node validate-tool-schemas.mjs <path of varn-mcp>");
  process.exit(2);
}

// [tool, arguments, whether the schema must accept them]
const samples = [
  ["secret_list", {}, true],
  ["secret_list", { collection: "Personal", query: "git" }, true],
  ["secret_list", { collection: 5 }, false],
  ["secret_list", { unknown_key: 1 }, true], // undeclared keys are ignored, not refused
  ["secret_resolve_preview", { ref: "varn://Personal/GitHub/password" }, true],
  ["secret_resolve_preview", {}, false],
  ["http_call", { url: "https://api.example.com/", method: "GET" }, true],
  ["http_call", { url: "https://api.example.com/", method: "POST", headers: { Accept: "x" },
                  body: "{}", auth_ref: "varn://Work/API/token", auth_scheme: "Bearer" }, true],
  ["http_call", { url: "https://api.example.com/" }, false],
  ["http_call", { url: "https://api.example.com/", method: "GET", headers: "Accept: x" }, false],
  ["run_command", { argv: ["git", "status"] }, true],
  ["run_command", { argv: ["env"], env_refs: { TOKEN: "varn://Work/CI/token" }, cwd: "/tmp" }, true],
  ["run_command", { argv: "git status" }, false],
  ["run_command", { argv: [1] }, false],
  ["run_command", {}, false],
  ["mint_token", { root_ref: "varn://Work/API/token", scope: "read", ttl_seconds: 60 }, true],
  ["mint_token", { root_ref: "varn://Work/API/token", scope: "read", ttl_seconds: 1.5 }, false],
  ["mint_token", { root_ref: "varn://Work/API/token", scope: "read", ttl_seconds: "60" }, false],
  ["mint_token", { root_ref: "varn://Work/API/token", ttl_seconds: 60 }, false],
  ["totp_code", { ref: "varn://Personal/GitHub/otp" }, true],
  ["totp_code", { ref: null }, false],
  ["secret_create", { name: "API", field_label: "token", value: "v", kind: "password",
                      ai_access: "injectable", allowed_hosts: ["api.example.com"] }, true],
  ["secret_create", { name: "API", field_label: "token", value: "v", kind: "password" }, false],
  ["secret_create", { name: "API", field_label: "token", value: "v", kind: "password",
                      ai_access: "injectable", allowed_commands: "git" }, false],
  ["secret_get", { ref: "varn://Personal/GitHub/password" }, true],
  ["secret_get", {}, false],
  ["secret_update", { ref: "varn://Personal/GitHub/password", username: "" }, true],
  ["secret_update", { name: "GitHub" }, false],
  ["secret_delete", { ref: "varn://Personal/GitHub/password" }, true],
  ["secret_delete", {}, false],
  ["group_list", {}, true],
  ["group_create", { name: "Infra", project: "Work", parent: "Ops" }, true],
  ["group_create", { project: "Work" }, false],
  ["group_get", { group: "Infra" }, true],
  ["group_get", {}, false],
  ["group_update", { group: "Infra", name: "Platform" }, true],
  ["group_update", { name: "Platform" }, false],
  ["group_delete", { group: "Infra" }, true],
  ["group_delete", { group: 7 }, false],
  ["project_list", {}, true],
  ["project_create", { name: "Work" }, true],
  ["project_create", {}, false],
  ["project_get", { project: "Work" }, true],
  ["project_get", {}, false],
  ["project_update", { project: "Work", name: "Job" }, true],
  ["project_update", { name: "Job" }, false],
  ["project_delete", { project: "Work" }, true],
  ["project_delete", {}, false],
  ["browser_start", {}, true],
  ["browser_start", { headless: true, idle_timeout_seconds: 0 }, true],
  ["browser_start", { headless: "yes" }, false],
  ["browser_start", { idle_timeout_seconds: 2.5 }, false],
  ["browser_stop", {}, true],
  ["browser_navigate", { url: "https://example.com/" }, true],
  ["browser_navigate", {}, false],
  ["browser_tabs", { action: "list" }, true],
  ["browser_tabs", { action: "activate", id: "T1" }, true],
  ["browser_tabs", { action: "close", id: "T1" }, true],
  ["browser_tabs", { action: "open" }, false],
  ["browser_tabs", { action: "LIST" }, false],
  ["browser_tabs", {}, false],
  ["browser_dialog", { action: "accept", prompt_text: "yes" }, true],
  ["browser_dialog", { action: "dismiss" }, true],
  ["browser_dialog", { action: "ok" }, false],
  ["browser_fill", { ref: "varn://Personal/GitHub/password", field: "password", submit: true }, true],
  ["browser_fill", { ref: "varn://Personal/GitHub/password" }, false],
  ["browser_fill", { ref: "varn://Personal/GitHub/password", field: "password", submit: "true" },
   false],
  ["web_login", { ref: "varn://Personal/GitHub", start_url: "https://github.com/login" }, true],
  ["web_login", { start_url: "https://github.com/login" }, false],
  ["credential_capture", { origin: "https://example.com", name: "Example" }, true],
  ["credential_capture", { name: "Example" }, false],
];

const failures = [];
const fail = (message) => failures.push(message);

// A failure guard only: a broken server must not hang the test run.
const guard = setTimeout(() => finish("no tools/list reply within 30 s"), 30_000);

// Its own HOME and a socket path nobody serves: listing tools must not need the vault.
const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vs"));
const child = spawn(binary, ["--socket", path.join(dir, "absent.sock")], {
  env: { PATH: process.env.PATH ?? "/usr/bin:/bin", HOME: dir },
  stdio: ["pipe", "pipe", "pipe"],
});
let stderr = "";
child.stderr.on("data", (chunk) => (stderr += chunk.toString("utf8")));
child.on("error", (error) => finish(`cannot start ${binary}: ${error.message}`));
child.on("exit", (code, signal) =>
  finish(`server exited (status ${code}, signal ${signal}) before answering tools/list`));

const send = (message) => child.stdin.write(JSON.stringify(message) + "\n");

readline.createInterface({ input: child.stdout }).on("line", (line) => {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    fail(`server wrote a line that is not JSON: ${line}`);
    return;
  }
  if (message.id === 1) {
    if (!message.result) fail(`initialize failed: ${line}`);
    send({ jsonrpc: "2.0", method: "notifications/initialized" });
    send({ jsonrpc: "2.0", id: 2, method: "tools/list", params: {} });
  } else if (message.id === 2) {
    checkTools(message.result?.tools);
    finish();
  }
});

send({
  jsonrpc: "2.0",
  id: 1,
  method: "initialize",
  params: {
    protocolVersion: "2025-06-18",
    capabilities: {},
    clientInfo: { name: "validate-tool-schemas", version: "1.0.0" },
  },
});

function checkTools(tools) {
  if (!Array.isArray(tools)) {
    fail(`tools/list result has no "tools" array: ${JSON.stringify(tools)}`);
    return;
  }
  if (tools.length !== 28) fail(`expected 28 tools, got ${tools.length}`);

  // Strict mode refuses unknown keywords and other mistakes that a lenient validator would skip.
  const ajv = new Ajv({ strict: true, allErrors: true });
  const validators = new Map();
  for (const tool of tools) {
    const keys = Object.keys(tool ?? {}).sort().join(",");
    if (keys !== "description,inputSchema,name") {
      fail(`${tool?.name}: keys are ${keys}, expected name, description and inputSchema`);
    }
    if (validators.has(tool.name)) fail(`${tool.name}: announced twice`);
    if (!ajv.validateSchema(tool.inputSchema)) {
      fail(`${tool.name}: not a valid JSON Schema: ${ajv.errorsText(ajv.errors)}`);
      continue;
    }
    try {
      validators.set(tool.name, ajv.compile(tool.inputSchema));
    } catch (error) {
      fail(`${tool.name}: schema does not compile: ${error.message}`);
    }
  }

  const sampled = new Set();
  for (const [name, args, expected] of samples) {
    sampled.add(name);
    const validate = validators.get(name);
    if (!validate) {
      fail(`${name}: not announced (or its schema did not compile)`);
      continue;
    }
    const accepted = validate(args);
    if (accepted !== expected) {
      const why = accepted ? "" : ` (${ajv.errorsText(validate.errors)})`;
      fail(`${name} ${JSON.stringify(args)}: expected ${expected ? "accept" : "refuse"}, ` +
           `schema ${accepted ? "accepted" : "refused"}${why}`);
    }
  }
  for (const name of validators.keys()) {
    if (!sampled.has(name)) fail(`${name}: announced but has no sample arguments here`);
  }
}

let finished = false;
function finish(problem) {
  if (finished) return;
  finished = true;
  clearTimeout(guard);
  if (problem) fail(problem);
  child.stdin.end();
  const done = () => {
    fs.rmSync(dir, { recursive: true, force: true });
    if (failures.length === 0) {
      console.log(`ok: ${samples.length} sample arguments against 28 tool schemas`);
      process.exit(0);
    }
    for (const failure of failures) console.error(`FAIL: ${failure}`);
    if (stderr) console.error(`server stderr:\n${stderr}`);
    process.exit(1);
  };
  if (child.exitCode !== null || child.signalCode !== null || child.pid === undefined) done();
  else {
    // End of input stops the server; kill our own child by its pid only if it does not stop.
    const stopTimer = setTimeout(() => child.kill("SIGTERM"), 10_000);
    child.once("exit", () => {
      clearTimeout(stopTimer);
      done();
    });
  }
}
