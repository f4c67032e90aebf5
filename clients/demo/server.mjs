// SPDX-License-Identifier: Apache-2.0
// server.mjs -- serves the Kestrovan demo page (and the page library it
// loads) from its own origin, so the page talks to the service cross-origin
// as a real site does. Plain node, no dependencies; serves a fixed list of
// files and nothing else, and plays the site's server for the PKI adapter's
// Authenticate: GET /challenge gives a fresh challenge, POST /verify checks
// the answer with clients/js/verify-authentication.mjs against this
// server's own origin and the trust anchors it was given.
//
//   node clients/demo/server.mjs [--host 127.0.0.1] [--port 8480] [--exit-with-parent [PID]]
//                                [--trust-anchors FILE]
//
// Trust anchors: PEM certificates (--trust-anchors, else the file that
// KESTROVAN_DEMO_TRUST_ANCHORS names); without them every authentication is
// reported untrusted (after its signature, origin and challenge were checked).
//
// Prints "Demo page: http://HOST:PORT/" once it listens. Port 0 picks a free
// port. Ctrl-C (or SIGTERM) stops it; with --exit-with-parent it also stops
// when the process that started it ends (the run command starts it and then
// becomes the service). Name that process's PID: one that ended before this
// server looked at its parent would otherwise go unnoticed.
import http from 'node:http';
import { readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';
import crypto from 'node:crypto';
import fs from 'node:fs';

import { verifyAuthentication, AuthenticationError } from '../js/verify-authentication.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const files = new Map([
  ['/', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/index.html', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/demo.js', [path.join(here, 'demo.js'), 'text/javascript; charset=utf-8']],
  ['/demo.css', [path.join(here, 'demo.css'), 'text/css; charset=utf-8']],
  ['/kestrovan.js', [path.join(here, '..', 'js', 'kestrovan.js'), 'text/javascript; charset=utf-8']],
  ['/helm.js', [path.join(here, '..', 'js', 'helm.js'), 'text/javascript; charset=utf-8']],
]);
const HEADERS = {
  'Cache-Control': 'no-store',
  'X-Content-Type-Options': 'nosniff',
  'Content-Security-Policy': "default-src 'self'; connect-src 'self' https://127.0.0.1:* https://localhost:*",
  'Referrer-Policy': 'strict-origin-when-cross-origin',
};

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const host = option('--host', process.env.KESTROVAN_DEMO_HOST || '127.0.0.1');
const port = Number(option('--port', process.env.KESTROVAN_DEMO_PORT || '8480'));
const anchorsFile = option('--trust-anchors', process.env.KESTROVAN_DEMO_TRUST_ANCHORS || '');
const trustAnchors = anchorsFile ? fs.readFileSync(anchorsFile, 'utf8') : '';
let origin = ''; // this server's own origin, once it listens
if (!Number.isInteger(port) || port < 0 || port > 65535) {
  console.error(`server.mjs: not a port: ${option('--port', process.env.KESTROVAN_DEMO_PORT)}`);
  process.exit(2);
}

// The path of the request line as sent, without query: no URL parsing, which
// would throw on some request lines and read "//name" as a host.
function pathOf(target) {
  const end = target.search(/[?#]/);
  return end < 0 ? target : target.slice(0, end);
}

const server = http.createServer((req, res) => {
  serve(req, res).catch((error) => {
    // Nothing a request sends may end the server.
    if (!res.headersSent) res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' }).end(`${error.message}\n`);
    else res.destroy();
  });
});

// ---- the site's server for Authenticate

// Challenges handed out and not used yet: one use each, five minutes.
const challenges = new Map();
const CHALLENGE_MS = 5 * 60 * 1000;
const MAX_CHALLENGES = 64;

function json(res, status, value) {
  const body = Buffer.from(JSON.stringify(value));
  res.writeHead(status, { ...HEADERS, 'Content-Type': 'application/json', 'Content-Length': body.length }).end(body);
}

function newChallenge(res) {
  const now = Date.now();
  for (const [key, issued] of challenges) {
    if (now - issued > CHALLENGE_MS || challenges.size >= MAX_CHALLENGES) challenges.delete(key);
  }
  const challenge = crypto.randomBytes(32).toString('base64');
  challenges.set(challenge, now);
  json(res, 200, { challenge });
}

async function readBody(req, limit) {
  const chunks = [];
  let size = 0;
  for await (const chunk of req) {
    size += chunk.length;
    if (size > limit) throw new RangeError('too large');
    chunks.push(chunk);
  }
  return Buffer.concat(chunks).toString('utf8');
}

// {answer, challenge}: the challenge must be one this server gave.
async function verify(req, res) {
  let request;
  try {
    request = JSON.parse(await readBody(req, 64 * 1024));
  } catch {
    json(res, 400, { ok: false, reason: 'format', message: 'not a JSON request' });
    return;
  }
  const issued = typeof request.challenge === 'string' ? challenges.get(request.challenge) : undefined;
  if (issued === undefined || Date.now() - issued > CHALLENGE_MS) {
    json(res, 200, { ok: false, reason: 'challenge', message: 'not a challenge of this server, or used, or too old' });
    return;
  }
  challenges.delete(request.challenge);
  try {
    const signer = verifyAuthentication(request.answer, { origin, challenge: request.challenge, trustAnchors });
    json(res, 200, { ok: true, origin, signer: { subject: signer.subject, issuer: signer.issuer, notAfter: signer.notAfter } });
  } catch (error) {
    if (!(error instanceof AuthenticationError)) throw error;
    json(res, 200, { ok: false, origin, reason: error.reason, message: error.message });
  }
}

async function serve(req, res) {
  const where = pathOf(req.url);
  if (where === '/challenge' && req.method === 'GET') {
    newChallenge(res);
    return;
  }
  if (where === '/verify' && req.method === 'POST') {
    await verify(req, res);
    return;
  }
  const entry = files.get(where);
  if (req.method !== 'GET' && req.method !== 'HEAD') {
    res.writeHead(405, { Allow: 'GET, HEAD' }).end();
    return;
  }
  if (!entry) {
    res.writeHead(404, { 'Content-Type': 'text/plain; charset=utf-8' }).end('Not found\n');
    return;
  }
  try {
    const body = await readFile(entry[0]);
    res.writeHead(200, { ...HEADERS, 'Content-Type': entry[1], 'Content-Length': body.length });
    res.end(req.method === 'HEAD' ? undefined : body);
  } catch (error) {
    res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' }).end(`${error.message}\n`);
  }
}

server.on('error', (error) => {
  console.error(`server.mjs: ${error.message}`);
  process.exit(1);
});
server.listen(port, host, () => {
  const address = server.address();
  const shown = address.family === 'IPv6' ? `[${address.address}]` : address.address;
  origin = `http://${shown}:${address.port}`;
  console.log(`Demo page: http://${shown}:${address.port}/`);
});
function stop() {
  server.close(() => process.exit(0));
  server.closeAllConnections();
}
// True while pid names a live process of this user (a pid reused by another
// user's process reads as gone).
function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

const withParent = process.argv.indexOf('--exit-with-parent');
if (withParent > 0) {
  const named = process.argv[withParent + 1];
  if (named !== undefined && /^[0-9]+$/.test(named)) {
    const parent = Number(named);
    const check = () => { if (!alive(parent)) stop(); };
    check();
    setInterval(check, 1000).unref();
  } else {
    const parent = process.ppid;
    setInterval(() => { if (process.ppid !== parent) stop(); }, 1000).unref();
  }
}
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, stop);
}
