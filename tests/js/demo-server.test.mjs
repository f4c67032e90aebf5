// SPDX-License-Identifier: Apache-2.0
// The demo page's static server: serves its fixed files (the library among
// them) with safe headers, and nothing else.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
let server;
let base;

before(async () => {
  server = spawn(process.execPath, [path.join(repo, 'clients', 'demo', 'server.mjs'), '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  base = await new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /Demo page: (http:\/\/127\.0\.0\.1:\d+)\//.exec(out);
      if (match) resolve(match[1]);
    });
    server.on('exit', (code) => reject(new Error(`server exited with ${code}`)));
  });
});

after(() => server.kill('SIGTERM'));

test('serves the page, its script and style, and the library', async () => {
  const cases = [
    ['/', 'text/html', path.join(repo, 'clients', 'demo', 'index.html')],
    ['/index.html', 'text/html', path.join(repo, 'clients', 'demo', 'index.html')],
    ['/demo.js', 'text/javascript', path.join(repo, 'clients', 'demo', 'demo.js')],
    ['/demo.css', 'text/css', path.join(repo, 'clients', 'demo', 'demo.css')],
    ['/kestrovan.js', 'text/javascript', path.join(repo, 'clients', 'js', 'kestrovan.js')],
    ['/helm.js', 'text/javascript', path.join(repo, 'clients', 'js', 'helm.js')],
  ];
  for (const [url, type, file] of cases) {
    const response = await fetch(base + url);
    assert.equal(response.status, 200, url);
    assert.ok(response.headers.get('content-type').startsWith(type), url);
    assert.equal(response.headers.get('x-content-type-options'), 'nosniff');
    assert.match(response.headers.get('content-security-policy'), /connect-src 'self' https:\/\/127\.0\.0\.1:\* https:\/\/localhost:\*/);
    assert.equal(await response.text(), fs.readFileSync(file, 'utf8'), url);
  }
});

test('nothing else: other paths, traversal and other methods are refused', async () => {
  for (const url of ['/server.mjs', '/../js/kestrovan.js', '/%2e%2e/js/kestrovan.js', '/README.md', '/index.html/', '/x']) {
    assert.equal((await fetch(base + url)).status, 404, url);
  }
  // A raw request line that no URL parser tidied up.
  const raw = await new Promise((resolve, reject) => {
    const socket = net.connect(new URL(base).port, '127.0.0.1', () => {
      socket.end('GET /../../../etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n');
    });
    let text = '';
    socket.on('data', (chunk) => { text += chunk; });
    socket.on('end', () => resolve(text));
    socket.on('error', reject);
  });
  assert.match(raw, /^HTTP\/1\.1 404/);
  assert.equal((await fetch(`${base}/`, { method: 'POST', body: 'x' })).status, 405);
});

test('as the site\'s server for Authenticate: fresh challenges, each good for one verification', async () => {
  const first = await (await fetch(`${base}/challenge`)).json();
  const second = await (await fetch(`${base}/challenge`)).json();
  assert.equal(Buffer.from(first.challenge, 'base64').length, 32);
  assert.notEqual(first.challenge, second.challenge);
  const verify = async (body) => {
    const response = await fetch(`${base}/verify`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body });
    return { status: response.status, verdict: await response.json() };
  };
  // An answer that is no authentication: the verifier's reason, and the
  // challenge is used up by the try.
  let r = await verify(JSON.stringify({ answer: { code: 71021, message: 'cancelled' }, challenge: first.challenge }));
  assert.equal(r.status, 200);
  assert.deepEqual([r.verdict.ok, r.verdict.reason], [false, 'format']);
  assert.match(r.verdict.origin, /^http:\/\/127\.0\.0\.1:\d+$/);
  r = await verify(JSON.stringify({ answer: {}, challenge: first.challenge }));
  assert.deepEqual([r.verdict.ok, r.verdict.reason], [false, 'challenge']);
  r = await verify(JSON.stringify({ answer: {}, challenge: 'AAAA' }));
  assert.equal(r.verdict.reason, 'challenge');
  r = await verify('not json');
  assert.equal(r.status, 400);
  r = await verify('x'.repeat(70 * 1024));
  assert.equal(r.status, 400);
  assert.equal((await fetch(`${base}/challenge`, { method: 'POST' })).status, 405);
});

// Sends text as it is on a fresh connection; resolves with what came back.
function rawRequest(text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(new URL(base).port, '127.0.0.1', () => socket.end(text));
    let answer = '';
    socket.on('data', (chunk) => { answer += chunk; });
    socket.on('end', () => resolve(answer));
    socket.on('error', reject);
  });
}

test('request lines no URL parser accepts are answered, and the server keeps serving', async () => {
  for (const target of ['//%zz', '//', '//index.html', '/%', '//[::1', 'http://[', '*']) {
    const answer = await rawRequest(`GET ${target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n`);
    assert.match(answer, /^HTTP\/1\.1 (400|404)/, target);
    assert.equal((await fetch(`${base}/`)).status, 200, `after ${target}`);
  }
  assert.equal(server.exitCode, null, 'still running');
  assert.equal((await fetch(`${base}/index.html?x=%zz#y`)).status, 200);
});

// Resolves with the exit code, or with 'running' if it has not exited when
// the server has been given a generous while.
function exitOf(child, ms = 15000) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) { resolve(child.exitCode); return; }
    const timer = setTimeout(() => resolve('running'), ms);
    child.once('exit', (code) => { clearTimeout(timer); resolve(code); });
  });
}

test('--exit-with-parent PID: a parent gone before the server starts ends it; a live one keeps it', async () => {
  const gone = spawn(process.execPath, ['-e', '']);
  await exitOf(gone);
  const orphan = spawn(process.execPath, [path.join(repo, 'clients', 'demo', 'server.mjs'), '--port', '0',
    '--exit-with-parent', String(gone.pid)], { stdio: 'ignore' });
  const code = await exitOf(orphan);
  if (code === 'running') orphan.kill('SIGKILL');
  assert.equal(code, 0);

  const kept = spawn(process.execPath, [path.join(repo, 'clients', 'demo', 'server.mjs'), '--port', '0',
    '--exit-with-parent', String(process.pid)], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((resolve, reject) => {
    let out = '';
    kept.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /Demo page: (http:\/\/\S+)/.exec(out);
      if (match) resolve(match[1]);
    });
    kept.on('exit', (c) => reject(new Error(`exited with ${c}`)));
  });
  assert.equal((await fetch(url)).status, 200);
  kept.kill('SIGTERM');
  assert.equal(await exitOf(kept), 0);
});
