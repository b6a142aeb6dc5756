// Cross-checks libVarnCrypto against implementations no one here wrote: libsodium compiled to
// WebAssembly (libsodium-wrappers-sumo) and TweetNaCl. They open our sealed boxes, verify our
// grant signatures over the message rebuilt here, decrypt our XChaCha20-Poly1305 envelopes and
// items, and reproduce our Argon2id keys with one lane; then our library opens, decrypts and
// verifies what they made. Exits 0 when every check holds, 1 otherwise.
//
// Usage: node cross-check.mjs <path of crypto_oracle>

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { hkdfSync } from "node:crypto";

import sodiumModule from "libsodium-wrappers-sumo";
import nacl from "tweetnacl";

const oracle = process.argv[2];
if (!oracle) {
  console.error("usage: node cross-check.mjs <path of crypto_oracle>");
  process.exit(2);
}

await sodiumModule.ready;
const sodium = sodiumModule;
const ORIGINAL = sodium.base64_variants.ORIGINAL;
const fromB64 = (text) => sodium.from_base64(text, ORIGINAL);
const toB64 = (bytes) => sodium.to_base64(bytes, ORIGINAL);
const utf8 = (text) => new TextEncoder().encode(text);
const equal = (a, b) => assert.equal(Buffer.from(a).toString("hex"), Buffer.from(b).toString("hex"));

function run(command, input) {
  const result = spawnSync(oracle, [command], { input, encoding: "utf8" });
  if (result.status !== 0) throw new Error(`crypto_oracle ${command}: ${result.stderr}`);
  return JSON.parse(result.stdout);
}

function uuidBytes(text) {
  return Uint8Array.from(Buffer.from(text.replaceAll("-", ""), "hex"));
}

// The grant message, rebuilt byte by byte from its fields.
function grantMessage(g, epoch = g.keyEpoch) {
  const epochBytes = new Uint8Array(4);
  new DataView(epochBytes.buffer).setUint32(0, epoch, false);
  const digest = sodium.crypto_hash_sha256(fromB64(g.collectionKey));
  return Uint8Array.from([
    ...uuidBytes(g.collectionID), ...epochBytes, ...digest, ...fromB64(g.recipientX25519),
    ...uuidBytes(g.orgID),
  ]);
}

function itemAAD(version, itemID) {
  const aad = new Uint8Array(20);
  new DataView(aad.buffer).setUint32(0, version, false);
  aad.set(uuidBytes(itemID), 4);
  return aad;
}

// Opens nonce || ciphertext || tag.
function unwrap(envelope, kek, aad = null) {
  return sodium.crypto_aead_xchacha20poly1305_ietf_decrypt(
      null, envelope.subarray(24), aad, envelope.subarray(0, 24), kek);
}

function wrap(plaintext, kek, aad = null) {
  const nonce = sodium.randombytes_buf(24);
  const sealed = sodium.crypto_aead_xchacha20poly1305_ietf_encrypt(plaintext, aad, null, nonce, kek);
  return Uint8Array.from([...nonce, ...sealed]);
}

const checks = [];
function checkThat(name, body) {
  try {
    body();
    checks.push([name, "ok"]);
  } catch (error) {
    checks.push([name, String(error.message ?? error)]);
  }
}

// --- what our library made, opened by theirs ---------------------------------------------------
const ours = run("produce", "");

checkThat("libsodium opens our sealed box", () => {
  const s = ours.sealed;
  const opened = sodium.crypto_box_seal_open(fromB64(s.box), fromB64(s.recipientPub),
                                             fromB64(s.recipientPriv));
  equal(opened, fromB64(s.message));
  assert.equal(fromB64(s.box).length, 80);
});

checkThat("tweetnacl verifies our grant over the rebuilt message", () => {
  const g = ours.grant;
  const message = grantMessage(g);
  assert.equal(message.length, 100);
  assert.ok(nacl.sign.detached.verify(message, fromB64(g.signature), fromB64(g.granterEd25519)));
  assert.ok(!nacl.sign.detached.verify(grantMessage(g, g.keyEpoch ^ 1), fromB64(g.signature),
                                       fromB64(g.granterEd25519)));
  assert.ok(sodium.crypto_sign_verify_detached(fromB64(g.signature), message,
                                               fromB64(g.granterEd25519)));
});

checkThat("libsodium decrypts our envelopes", () => {
  const e = ours.envelope;
  const kek = fromB64(e.kek);
  equal(unwrap(fromB64(e.withAAD), kek, fromB64(e.aad)), fromB64(e.plaintext));
  equal(unwrap(fromB64(e.withoutAAD), kek), fromB64(e.plaintext));
  assert.throws(() => unwrap(fromB64(e.withAAD), kek));
});

checkThat("libsodium decrypts our item with the item associated data", () => {
  const i = ours.item;
  const itemKey = unwrap(fromB64(i.wrappedItemKey), fromB64(i.collectionKey));
  equal(unwrap(fromB64(i.bytes), itemKey, itemAAD(1, i.itemID)), fromB64(i.plaintext));
  assert.equal(fromB64(i.bytes).length, fromB64(i.plaintext).length + 40);
});

checkThat("node's HKDF and libsodium open our prf entry", () => {
  const v = ours.vault;
  const kek = new Uint8Array(hkdfSync("sha256", fromB64(v.prfOutput), fromB64(v.kdf.salt),
                                      utf8(v.kdf.info), 32));
  equal(unwrap(fromB64(v.wrappedKeys.wrapped), kek), fromB64(v.dek));
  const privateKeys = JSON.parse(new TextDecoder().decode(unwrap(fromB64(v.wrappedAccountPrivKeys),
                                                                 fromB64(v.dek))));
  assert.deepEqual(Object.keys(privateKeys), ["x25519Pub", "x25519Priv", "ed25519Pub", "ed25519Priv"]);
  equal(fromB64(privateKeys.x25519Pub), fromB64(v.x25519Pub));
  equal(sodium.crypto_scalarmult_base(fromB64(privateKeys.x25519Priv)), fromB64(v.x25519Pub));
  equal(fromB64(privateKeys.ed25519Priv).subarray(32), fromB64(v.ed25519Pub));
});

checkThat("libsodium reproduces our Argon2id keys with one lane", () => {
  for (const a of ours.argon2id) {
    const key = sodium.crypto_pwhash(32, fromB64(a.passphrase), fromB64(a.salt), a.iterations,
                                     a.memoryKiB * 1024, sodium.crypto_pwhash_ALG_ARGON2ID13);
    equal(key, fromB64(a.key));
  }
  const known = Buffer.from(fromB64(ours.argon2id[0].key)).toString("hex");
  assert.ok(known.startsWith("e3c889ca") && known.endsWith("50b0fd"), known);
});

// --- what theirs made, opened by ours ----------------------------------------------------------
const collectionKey = sodium.randombytes_buf(32);
const granter = nacl.sign.keyPair();
const grant = {
  collectionID: "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",
  keyEpoch: 7,
  collectionKey: toB64(collectionKey),
  recipientX25519: ours.vault.x25519Pub,
  orgID: "F9E8D7C6-B5A4-9382-7160-5F4E3D2C1B0A",
  granterEd25519: toB64(granter.publicKey),
};
grant.signature = toB64(nacl.sign.detached(grantMessage(grant), granter.secretKey));
const kek = sodium.randombytes_buf(32);
const aad = utf8("their associated data");
const plaintext = utf8("their plaintext");
const itemID = "12345678-9ABC-DEF0-1234-56789ABCDEF0";
const itemKey = sodium.randombytes_buf(32);
const theirs = {
  vault: ours.vault,
  sealed: {
    box: toB64(sodium.crypto_box_seal(collectionKey, fromB64(ours.vault.x25519Pub))),
    message: toB64(collectionKey),
  },
  envelope: { kek: toB64(kek), aad: toB64(aad), plaintext: toB64(plaintext),
              withAAD: toB64(wrap(plaintext, kek, aad)) },
  item: { itemID, collectionKey: toB64(collectionKey), v: 1, plaintext: toB64(plaintext),
          bytes: toB64(wrap(plaintext, itemKey, itemAAD(1, itemID))),
          wrappedItemKey: toB64(wrap(itemKey, collectionKey)) },
  grant,
};
const results = run("consume", JSON.stringify(theirs));
const expected = { sealed: "ok", envelope: "ok", envelopeWrongAAD: "decryptFailed", item: "ok",
                   grant: "ok", grantOtherEpoch: "mismatch" };
for (const [name, want] of Object.entries(expected)) {
  checks.push([`our library on their ${name}`, results[name] === want ? "ok" : results[name]]);
}

const failed = checks.filter(([, outcome]) => outcome !== "ok");
for (const [name, outcome] of checks) console.log(`${outcome === "ok" ? "ok  " : "FAIL"} ${name}${outcome === "ok" ? "" : ": " + outcome}`);
process.exit(failed.length === 0 ? 0 : 1);
