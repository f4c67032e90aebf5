// SPDX-License-Identifier: Apache-2.0
// verify-authentication.mjs -- for a site's server (Node 20+): checks an
// answer of the PKI adapter's Authenticate against the origin the site is
// served from, the challenge the server gave, and the trust anchors it
// accepts. No dependencies; types in verify-authentication.d.ts.
//
// What the adapter signed (format KESTROVAN-AUTH-V1, version 1), 82 bytes:
//   "KESTROVAN-AUTH-V1" || 0x00 || SHA-256(origin) || SHA-256(challenge)
// with the certificate's key and SHA-256: RSA PKCS #1 v1.5 ("RSA-SHA256") or
// ECDSA with a DER signature ("ECDSA-SHA256"). origin is the page's origin as
// the browser sent it (scheme and host in lower case, no default port, no
// slash); challenge is the server's random bytes.
import crypto from 'node:crypto';

export const AUTH_FORMAT = 'KESTROVAN-AUTH-V1';
export const AUTH_VERSION = 1;
export const MIN_CHALLENGE_BYTES = 32;
const ALGORITHMS = Object.freeze({ 'RSA-SHA256': 'rsa', 'ECDSA-SHA256': 'ec' });
const MAX_CHAIN = 8;

export class AuthenticationError extends Error {
  constructor(reason, message) {
    super(message);
    this.name = 'AuthenticationError';
    this.reason = reason;
  }
}

function fail(reason, message) {
  throw new AuthenticationError(reason, message);
}

// The origin as the adapter binds it.
export function canonicalOrigin(origin) {
  let url;
  try {
    url = new URL(String(origin));
  } catch {
    fail('origin', `not an origin: ${origin}`);
  }
  if (url.protocol !== 'https:' && url.protocol !== 'http:') fail('origin', `not an http(s) origin: ${origin}`);
  return url.origin;
}

function bytesOf(value, what) {
  if (value instanceof Uint8Array) return Buffer.from(value.buffer, value.byteOffset, value.byteLength);
  if (typeof value === 'string') {
    if (!/^[A-Za-z0-9+/]*={0,2}$/.test(value) || value.length % 4 === 1) fail('format', `${what} is not Base64`);
    return Buffer.from(value, 'base64');
  }
  fail('format', `${what} must be bytes or Base64 text`);
}

// The 82 bytes the key signs.
export function signedBytes(origin, challenge) {
  const sha256 = (data) => crypto.createHash('sha256').update(data).digest();
  return Buffer.concat([Buffer.from(AUTH_FORMAT, 'ascii'), Buffer.from([0]),
    sha256(Buffer.from(canonicalOrigin(origin), 'utf8')), sha256(bytesOf(challenge, 'challenge'))]);
}

// ---- a little DER, for the key-usage extension Node does not decode

function readTlv(der, at) {
  if (at + 2 > der.length) fail('certificate', 'truncated certificate');
  const tag = der[at];
  let length = der[at + 1];
  let start = at + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    if (count === 0 || count > 4 || start + count > der.length) fail('certificate', 'bad length in certificate');
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + der[start + i];
    start += count;
  }
  if (start + length > der.length) fail('certificate', 'truncated certificate');
  return { tag, start, end: start + length };
}

function children(der, tlv) {
  const out = [];
  for (let at = tlv.start; at < tlv.end;) {
    const child = readTlv(der, at);
    out.push(child);
    at = child.end;
  }
  return out;
}

const KEY_USAGE_OID = Buffer.from([0x06, 0x03, 0x55, 0x1d, 0x0f]);

// { digitalSignature, nonRepudiation } from the certificate, or null when it
// has no key-usage extension (which allows every use).
export function keyUsageOf(der) {
  const certificate = readTlv(der, 0);
  const tbs = children(der, certificate)[0];
  if (!tbs) fail('certificate', 'no tbsCertificate');
  const extensions = children(der, tbs).find((c) => c.tag === 0xa3);
  if (!extensions) return null;
  const list = children(der, extensions)[0];
  for (const extension of children(der, list)) {
    const parts = children(der, extension);
    const oid = der.subarray(parts[0].start - 2, parts[0].end);
    if (!oid.equals(KEY_USAGE_OID)) continue;
    const value = parts[parts.length - 1];
    const bits = readTlv(der, value.start);
    if (bits.tag !== 0x03 || bits.end - bits.start < 2) fail('certificate', 'bad key-usage extension');
    const first = der[bits.start + 1];
    return { digitalSignature: (first & 0x80) !== 0, nonRepudiation: (first & 0x40) !== 0 };
  }
  return null;
}

function pemCertificates(pems, what) {
  const texts = (Array.isArray(pems) ? pems : [pems]).filter((p) => p !== undefined && p !== null).join('\n');
  const blocks = texts.match(/-----BEGIN CERTIFICATE-----[\s\S]+?-----END CERTIFICATE-----/g) || [];
  return blocks.map((block) => {
    try {
      return new crypto.X509Certificate(block);
    } catch {
      fail('certificate', `${what} holds a certificate that cannot be read`);
    }
  });
}

function checkValidity(certificate, now, what) {
  const from = Date.parse(certificate.validFrom);
  const to = Date.parse(certificate.validTo);
  if (!(now >= from)) fail('validity', `${what} is not valid before ${certificate.validFrom}`);
  if (!(now <= to)) fail('validity', `${what} expired on ${certificate.validTo}`);
}

function issuedBy(child, parent) {
  return child.checkIssued(parent) && child.verify(parent.publicKey);
}

// Walks from the certificate to one of the anchors through intermediates
// (each a CA, each valid now).
function checkChain(leaf, anchors, intermediates, now) {
  let current = leaf;
  for (let depth = 0; depth < MAX_CHAIN; depth++) {
    if (anchors.some((a) => a.fingerprint256 === current.fingerprint256)) return;
    const anchor = anchors.find((a) => issuedBy(current, a));
    if (anchor) {
      checkValidity(anchor, now, 'the trust anchor');
      return;
    }
    const next = intermediates.find((c) => c.ca && c.fingerprint256 !== current.fingerprint256 && issuedBy(current, c));
    if (!next) break;
    checkValidity(next, now, 'an intermediate certificate');
    current = next;
  }
  fail('untrusted', 'the certificate does not chain to the given trust anchors');
}

// Checks one Authenticate answer (the adapter's JSON, parsed or as text).
// options: origin (the site's own origin, required), challenge (the bytes
// the server gave, or their Base64), trustAnchors (PEM text or texts),
// intermediates (PEM, optional), now (a Date or milliseconds, default now),
// acceptDualUse (default false: certificates with nonRepudiation, or without
// key usage, are refused; true only when every such key of your users is set
// to authentication in their adapters, since a site they let sign could
// otherwise have it sign your login).
// Returns the signer's details, or throws an
// AuthenticationError whose reason is one of format, origin, challenge,
// algorithm, signature, certificate, keyUsage, validity, untrusted.
export function verifyAuthentication(answer, options = {}) {
  const a = typeof answer === 'string' ? JSON.parse(answer) : answer;
  if (!a || typeof a !== 'object') fail('format', 'the answer is not an object');
  if (a.code !== 0) fail('format', `the answer is an error (code ${a.code})`);
  if (a.format !== AUTH_FORMAT || a.version !== AUTH_VERSION) {
    fail('format', `unknown authentication format ${a.format} version ${a.version}`);
  }
  const origin = canonicalOrigin(options.origin);
  if (a.origin !== origin) fail('origin', `signed for ${a.origin}, not for ${origin}`);
  const challenge = bytesOf(options.challenge, 'challenge');
  if (challenge.length < MIN_CHALLENGE_BYTES) fail('challenge', `a challenge needs at least ${MIN_CHALLENGE_BYTES} bytes`);
  const keyType = ALGORITHMS[a.algorithm];
  if (!keyType) fail('algorithm', `unsupported algorithm ${a.algorithm}`);
  const [leaf] = pemCertificates(a.certificate, 'the answer');
  if (!leaf) fail('certificate', 'the answer holds no certificate');
  if (leaf.publicKey.asymmetricKeyType !== keyType) fail('algorithm', `${a.algorithm} with a ${leaf.publicKey.asymmetricKeyType} key`);
  const signature = bytesOf(a.signature, 'signature');
  const ok = crypto.verify('sha256', signedBytes(origin, challenge), leaf.publicKey, signature);
  if (!ok) fail('signature', 'the signature does not match this origin and challenge');
  const now = options.now === undefined ? Date.now() : Number(options.now);
  checkValidity(leaf, now, 'the certificate');
  const usage = keyUsageOf(leaf.raw);
  if (usage && !usage.digitalSignature) fail('keyUsage', 'the certificate does not allow digitalSignature');
  // Only a key that serves authentication alone is taken: the adapter lets
  // sites have keys certified for nonRepudiation (or for everything, without
  // key usage) sign digests of their choosing, and such a signature could be
  // another site's login.
  if (!options.acceptDualUse && (!usage || usage.nonRepudiation)) {
    fail('keyUsage', usage ? 'the certificate also allows nonRepudiation: its key may sign what sites choose'
      : 'the certificate has no key usage: its key may sign what sites choose');
  }
  const anchors = pemCertificates(options.trustAnchors, 'trustAnchors');
  if (anchors.length === 0) fail('untrusted', 'no trust anchors given');
  checkChain(leaf, anchors, pemCertificates(options.intermediates ?? [], 'intermediates'), now);
  return {
    subject: leaf.subject,
    issuer: leaf.issuer,
    serialNumber: leaf.serialNumber,
    fingerprint256: leaf.fingerprint256,
    notBefore: leaf.validFrom,
    notAfter: leaf.validTo,
    certificate: leaf.toString(),
  };
}
