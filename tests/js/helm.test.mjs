// SPDX-License-Identifier: Apache-2.0
// helm.test.mjs -- the PKI adapter's page helpers (clients/js/helm.js) and
// the authentication verifier a site's server runs
// (clients/js/verify-authentication.mjs), without a service: error names
// for the adapter's codes, and the verifier's verdicts on authentications
// signed here with keys and certificates openssl makes (a CA, an
// intermediate, leaves with other key usages and validity).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { KestrovanError } from '../../clients/js/kestrovan.js';
import { HelmCode, HelmErrorKind, helmError, PkiSession } from '../../clients/js/helm.js';
import {
  AuthenticationError, signedBytes, verifyAuthentication, keyUsageOf, canonicalOrigin,
} from '../../clients/js/verify-authentication.mjs';

test('every code of the PKI adapter has its error name, as the type declarations say', () => {
  const dts = fs.readFileSync(new URL('../../clients/js/helm.d.ts', import.meta.url), 'utf8');
  const union = /export type HelmErrorKindName =([^;]*);/.exec(dts);
  assert.ok(union);
  const declared = [...union[1].matchAll(/'([A-Za-z0-9]+)'/g)].map((m) => m[1]).sort();
  assert.deepEqual(Object.keys(HelmErrorKind).sort(), declared);
  const codes = Object.values(HelmCode).filter((c) => c !== 0);
  assert.equal(codes.length, declared.length);
  const kinds = new Set();
  for (const code of codes) {
    const error = helmError({ code, message: 'detail' });
    assert.ok(error instanceof KestrovanError);
    assert.equal(error.code, code);
    assert.ok(HelmErrorKind[error.kind], `${code} -> ${error.kind}`);
    assert.match(error.message, new RegExp(`^PKI adapter error ${code}: .+ \\(detail\\)$`));
    kinds.add(error.kind);
  }
  assert.equal(kinds.size, codes.length, 'one name per code');
  assert.equal(helmError({ code: HelmCode.CANCELLED }).kind, 'Cancelled');
  assert.equal(helmError({ code: HelmCode.PAGE_PIN_REFUSED }).kind, 'PagePinRefused');
  assert.equal(helmError({ code: 79999 }).kind, 'AdapterError');
});

// ---- what the page library sends for the chooser and for batches

// A session that records the calls and answers as the adapter would.
function recordingSession(answer) {
  const calls = [];
  return {
    calls,
    session: { call: async (name, params) => { calls.push({ name, params }); return JSON.stringify(answer); } },
  };
}

test('selectCertificate sends the filters as the adapter reads them; a cancel is a Cancelled error', async () => {
  const recorder = recordingSession({ code: 0, id: 'tok-1', pem: 'x' });
  const pki = new PkiSession(recorder.session);
  const chosen = await pki.selectCertificate({
    purpose: 'signing', issuer: 'Test CA', policy: '1.2.3', keyUsage: ['digitalSignature', 'nonRepudiation'],
    validNow: false, description: 'for the contract',
  });
  assert.equal(chosen.id, 'tok-1');
  assert.deepEqual(recorder.calls, [{ name: 'SelectCertificate', params: {
    purpose: 'signing', issuer: 'Test CA', policy: '1.2.3', description: 'for the contract',
    keyUsage: 'digitalSignature,nonRepudiation', validNow: 'false',
  } }]);
  const cancelled = new PkiSession(recordingSession({ code: HelmCode.CANCELLED, message: 'no' }).session);
  await assert.rejects(cancelled.selectCertificate(), (error) => error.kind === 'Cancelled');
  const listing = new PkiSession(recordingSession({ code: HelmCode.USE_SELECT_CERTIFICATE }).session);
  await assert.rejects(listing.listCertificates(), (error) => error.kind === 'UseSelectCertificate');
});

test('signCmsBatch sends each name and document as Base64 and reads a result per document', async () => {
  const recorder = recordingSession({ code: 0, id: 'p12-1', cancelled: false, results: [] });
  const pki = new PkiSession(recorder.session);
  await pki.signCmsBatch([{ name: 'a,b:ä.txt', data: 'text ✓' }, { name: 'bin', data: new Uint8Array([0, 255, 1]) }],
    { attached: true, digest: 'sha384' });
  const { name, params } = recorder.calls[0];
  assert.equal(name, 'SignCmsBatch');
  assert.equal(params.attached, 'true');
  assert.equal(params.digest, 'sha384');
  assert.equal(params.id, undefined, 'the chosen certificate');
  const entries = params.documents.split(',').map((entry) => entry.split(':').map((part) => Buffer.from(part, 'base64')));
  assert.equal(entries.length, 2);
  assert.equal(entries[0][0].toString('utf8'), 'a,b:ä.txt');
  assert.equal(entries[0][1].toString('utf8'), 'text ✓');
  assert.deepEqual([...entries[1][1]], [0, 255, 1]);
});

// ---- the verifier, against certificates made here

let dir;
const ORIGIN = 'https://bank.example';
const challenge = crypto.randomBytes(32);

function openssl(...args) {
  const r = spawnSync('openssl', args, { cwd: dir, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`openssl ${args.join(' ')}: ${r.stderr}`);
}

function extFile(name, text) {
  fs.writeFileSync(path.join(dir, name), text);
  return name;
}

// A key and a certificate issued by issuer (or self-signed), with extensions.
function make(name, { issuer, ca = false, usage, type = 'ec' }) {
  if (type === 'ec') openssl('genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256', '-out', `${name}.key`);
  else openssl('genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-out', `${name}.key`);
  openssl('req', '-new', '-key', `${name}.key`, '-subj', `/CN=${name}`, '-out', `${name}.csr`);
  const lines = [ca ? 'basicConstraints=critical,CA:TRUE' : 'basicConstraints=CA:FALSE'];
  if (usage) lines.push(`keyUsage=critical,${usage}`);
  const ext = extFile(`${name}.ext`, `${lines.join('\n')}\n`);
  const args = ['x509', '-req', '-in', `${name}.csr`, '-out', `${name}.crt`, '-extfile', ext, '-days', '30'];
  if (issuer) args.push('-CA', `${issuer}.crt`, '-CAkey', `${issuer}.key`, '-CAcreateserial');
  else args.push('-signkey', `${name}.key`);
  openssl(...args);
  return {
    key: crypto.createPrivateKey(fs.readFileSync(path.join(dir, `${name}.key`))),
    pem: fs.readFileSync(path.join(dir, `${name}.crt`), 'utf8'),
  };
}

// An answer as the adapter gives it, signed here.
function answerFor(leaf, { origin = ORIGIN, signedOrigin = origin, bytes = challenge, algorithm } = {}) {
  const type = leaf.key.asymmetricKeyType;
  const signature = crypto.sign('sha256', signedBytes(signedOrigin, bytes), leaf.key);
  return {
    code: 0, id: 'tok-test', format: 'KESTROVAN-AUTH-V1', version: 1, origin,
    algorithm: algorithm ?? (type === 'rsa' ? 'RSA-SHA256' : 'ECDSA-SHA256'),
    signature: signature.toString('base64'), certificate: leaf.pem,
  };
}

let ca;
let other;
let intermediate;
const leaves = {};

before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrovan-verify-'));
  ca = make('ca', { ca: true, usage: 'keyCertSign,cRLSign' });
  other = make('other', { ca: true, usage: 'keyCertSign,cRLSign' });
  intermediate = make('intermediate', { issuer: 'ca', ca: true, usage: 'keyCertSign,cRLSign' });
  leaves.ec = make('ec', { issuer: 'ca', usage: 'digitalSignature' });
  leaves.rsa = make('rsa', { issuer: 'ca', usage: 'digitalSignature,nonRepudiation', type: 'rsa' });
  leaves.noUsage = make('nousage', { issuer: 'ca' });
  leaves.encipher = make('encipher', { issuer: 'ca', usage: 'keyEncipherment', type: 'rsa' });
  leaves.viaIntermediate = make('via', { issuer: 'intermediate', usage: 'digitalSignature' });
});

after(() => {
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
});

const anchors = () => ca.pem;

test('a good authentication verifies and names its signer', () => {
  const authenticationOnly = { origin: ORIGIN, challenge, trustAnchors: anchors() };
  for (const [leaf, options] of [[leaves.ec, authenticationOnly], [leaves.rsa, { ...authenticationOnly, acceptDualUse: true }],
    [leaves.noUsage, { ...authenticationOnly, acceptDualUse: true }]]) {
    const signer = verifyAuthentication(answerFor(leaf), options);
    assert.match(signer.subject, /CN=/);
    assert.match(signer.issuer, /CN=ca/);
  }
  // As text, with the challenge as Base64, the origin as a browser may write it.
  const text = JSON.stringify(answerFor(leaves.ec));
  verifyAuthentication(text, { origin: 'HTTPS://Bank.Example:443/', challenge: challenge.toString('base64'), trustAnchors: [anchors()] });
  // Through an intermediate the server gives.
  verifyAuthentication(answerFor(leaves.viaIntermediate),
    { origin: ORIGIN, challenge, trustAnchors: anchors(), intermediates: intermediate.pem });
});

test('the verifier refuses, with its reason, whatever does not hold', () => {
  const other32 = Buffer.from(challenge);
  other32[5] ^= 1;
  const cases = [
    ['another origin', answerFor(leaves.ec), { origin: 'https://evil.example' }, 'origin'],
    ['another port', answerFor(leaves.ec), { origin: 'https://bank.example:8443' }, 'origin'],
    ['an origin field rewritten', answerFor(leaves.ec, { origin: 'https://evil.example', signedOrigin: ORIGIN }),
      { origin: 'https://evil.example' }, 'signature'],
    ['another challenge', answerFor(leaves.ec), { challenge: other32 }, 'signature'],
    ['a short challenge', answerFor(leaves.ec, { bytes: challenge.subarray(0, 31) }), { challenge: challenge.subarray(0, 31) }, 'challenge'],
    ['an unknown version', { ...answerFor(leaves.ec), version: 2 }, {}, 'format'],
    ['an unknown format', { ...answerFor(leaves.ec), format: 'OTHER' }, {}, 'format'],
    ['an error answer', { code: 71021, message: 'cancelled' }, {}, 'format'],
    ['an algorithm the key does not have', answerFor(leaves.ec, { algorithm: 'RSA-SHA256' }), {}, 'algorithm'],
    ['an unknown algorithm', answerFor(leaves.ec, { algorithm: 'DSA-SHA1' }), {}, 'algorithm'],
    ['a key usage without digitalSignature', answerFor(leaves.encipher), {}, 'keyUsage'],
    ['a key that may also sign (nonRepudiation)', answerFor(leaves.rsa), {}, 'keyUsage'],
    ['a key without key usage', answerFor(leaves.noUsage), {}, 'keyUsage'],
    ['without digitalSignature even accepting dual use', answerFor(leaves.encipher), { acceptDualUse: true }, 'keyUsage'],
    ['another CA', answerFor(leaves.ec), { trustAnchors: other.pem }, 'untrusted'],
    ['no anchors', answerFor(leaves.ec), { trustAnchors: '' }, 'untrusted'],
    ['a missing intermediate', answerFor(leaves.viaIntermediate), {}, 'untrusted'],
    ['a time after the validity', answerFor(leaves.ec), { now: Date.now() + 90 * 86400000 }, 'validity'],
    ['a time before the validity', answerFor(leaves.ec), { now: Date.now() - 86400000 }, 'validity'],
  ];
  for (const [name, answer, options, reason] of cases) {
    assert.throws(() => verifyAuthentication(answer, { origin: ORIGIN, challenge, trustAnchors: anchors(), ...options }),
      (error) => error instanceof AuthenticationError && error.reason === reason, name);
  }
  const tampered = answerFor(leaves.rsa);
  const bytes = Buffer.from(tampered.signature, 'base64');
  bytes[10] ^= 1;
  tampered.signature = bytes.toString('base64');
  assert.throws(() => verifyAuthentication(tampered, { origin: ORIGIN, challenge, trustAnchors: anchors(), acceptDualUse: true }),
    (error) => error.reason === 'signature');
});

test('the signed bytes are the documented 82, and key usage is read from the certificate', () => {
  const bytes = signedBytes('https://bank.example', challenge);
  assert.equal(bytes.length, 82);
  assert.equal(bytes.subarray(0, 18).toString('latin1'), 'KESTROVAN-AUTH-V1\0');
  assert.deepEqual(bytes.subarray(18, 50), crypto.createHash('sha256').update('https://bank.example').digest());
  assert.deepEqual(bytes.subarray(50), crypto.createHash('sha256').update(challenge).digest());
  assert.equal(canonicalOrigin('https://BANK.example:443'), 'https://bank.example');
  assert.equal(canonicalOrigin('http://127.0.0.1:8480/'), 'http://127.0.0.1:8480');
  const der = (leaf) => new crypto.X509Certificate(leaf.pem).raw;
  assert.deepEqual(keyUsageOf(der(leaves.ec)), { digitalSignature: true, nonRepudiation: false });
  assert.deepEqual(keyUsageOf(der(leaves.rsa)), { digitalSignature: true, nonRepudiation: true });
  assert.deepEqual(keyUsageOf(der(leaves.encipher)), { digitalSignature: false, nonRepudiation: false });
  assert.equal(keyUsageOf(der(leaves.noUsage)), null);
});
