// SPDX-License-Identifier: Apache-2.0
// Real-browser tests: Debian's Chromium (through playwright-core) runs the
// page library against the real running service. The browser trusts the
// service the user's way -- the provisioning command imported its local CA
// into the NSS database under the browser's HOME -- with no certificate
// flags. Pages come from public https origins (served by Playwright's
// routing) that are granted the local-network permission, or from the demo
// server on a loopback origin.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createDecipheriv } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

import { startService, tempFolder } from '../js/harness.mjs';
import { launch, startDemo, repo } from './browser-harness.mjs';
import { runInPage, ok, OPEN_CALL_CLOSE, checkOpenCallClose, MAIN_THREAD_CALL, checkMainThreadCall, PARTNER_SITES, STORE_BASKET, READ_BASKET }
  from './scenarios.mjs';

const LIBRARY = fs.readFileSync(path.join(repo, 'clients', 'js', 'kestrovan.js'), 'utf8');
const SERVICE = 'https://127.0.0.1:56459';
let service;
let browser;
let demo;
const serviceResponses = []; // { url, method, status, headers, pageOrigin }
const serviceRequests = [];

before(async () => {
  service = await startService();
  browser = await launch(service.installation.home);
  demo = await startDemo();
});

after(async () => {
  if (demo) demo.child.kill('SIGTERM');
  if (browser) await browser.close();
  if (service) {
    const exit = await service.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `the service stops cleanly:\n${service.output().slice(-3000)}`);
  }
});

// A page of a public https origin that has the library at /kestrovan.js, in
// a context granted the local-network permission unless grant is false.
async function publicPage(origin, { grant = true, on = browser } = {}) {
  const context = await on.newContext();
  if (grant) await context.grantPermissions(['local-network-access'], { origin });
  const page = await context.newPage();
  await page.route(`${origin}/**`, (route) => {
    const url = new URL(route.request().url());
    if (url.pathname === '/kestrovan.js') {
      return route.fulfill({ status: 200, contentType: 'text/javascript', body: LIBRARY });
    }
    return route.fulfill({ status: 200, contentType: 'text/html', body: '<!doctype html><title>page</title><h1>page</h1>' });
  });
  page.on('request', (request) => {
    if (request.url().startsWith('https://127.0.0.1:')) {
      serviceRequests.push({ method: request.method(), headers: request.headers(), pageOrigin: origin });
    }
  });
  page.on('response', (response) => {
    if (!response.url().startsWith('https://127.0.0.1:')) return;
    serviceResponses.push(response.allHeaders().then((headers) => ({ url: response.url(),
      method: response.request().method(), status: response.status(), headers, pageOrigin: origin })));
  });
  await page.goto(`${origin}/`);
  return { page, context };
}

// The service's answers to pages of origin since index from, once at least
// count of them have been seen (events may trail the page's own promise).
async function responsesOf(origin, from, count) {
  const deadline = Date.now() + 10000;
  for (;;) {
    const all = await Promise.all(serviceResponses.slice(from));
    const mine = all.filter((r) => r.pageOrigin === origin);
    if (mine.length >= count || Date.now() > deadline) return mine;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// Runs body(kestrovan, arg) in the page with the library imported.
function inPage(page, body, arg) {
  return page.evaluate(runInPage, [body, arg]);
}

test('a public page with the permission opens a session, calls the adapter and closes', async () => {
  const origin = 'https://app.example';
  const { page, context } = await publicPage(origin);
  const before = serviceResponses.length;
  checkOpenCallClose(ok(await inPage(page, OPEN_CALL_CLOSE, 'browser')));
  assert.match(service.adapterLog(), new RegExp(`enter\\tKestrovan_Unlock\\t${origin}\\n`));

  // The raw answers, as the page could not read them.
  const mine = await responsesOf(origin, before, 4);
  assert.ok(mine.length >= 4, `probe, echo, call, close: ${mine.length}`);
  for (const response of mine) {
    assert.equal(response.method, 'POST');
    assert.equal(response.status, 200);
    assert.equal(response.headers['access-control-allow-origin'], origin);
    assert.equal(response.headers['x-xss-protection'], '1; mode=block');
  }
  // Simple requests only: form-encoded POSTs, never a preflight.
  const sent = serviceRequests.filter((r) => r.pageOrigin === origin);
  assert.ok(sent.length >= mine.length);
  assert.ok(sent.every((r) => r.method === 'POST'), 'no OPTIONS');
  assert.ok(sent.every((r) => r.headers['content-type'].startsWith('application/x-www-form-urlencoded')));
  await context.close();
});

test('without the local-network permission the library says what the user must allow', async () => {
  const { page, context } = await publicPage('https://nogrant.example', { grant: false });
  const outcome = await inPage(page, 'await kestrovan.createClient().openSession();');
  assert.ok(outcome.error, 'the call must fail');
  assert.equal(outcome.error.name, 'KestrovanError');
  assert.equal(outcome.error.kind, 'ServiceUnreachable');
  assert.match(outcome.error.message, /apps and services on this device/);
  assert.match(outcome.error.message, /local network access/);
  assert.match(outcome.error.message, /certificate/);
  assert.notEqual(outcome.error.permissionState, 'granted');
  await context.close();
});

test('a browser that does not trust the local CA cannot reach the service', async () => {
  const home = tempFolder('kestrovan-untrusting-');
  const untrusting = await launch(home);
  try {
    const { page } = await publicPage('https://app.example', { on: untrusting });
    const outcome = await inPage(page, 'await kestrovan.createClient().openSession();');
    assert.equal(outcome.error && outcome.error.kind, 'ServiceUnreachable');
    await assert.rejects(page.goto(`${SERVICE}/`), /ERR_CERT_AUTHORITY_INVALID/);
  } finally {
    await untrusting.close();
    fs.rmSync(home, { recursive: true, force: true });
  }
});

test('browser mode survives close; force release ends it', async () => {
  const { page, context } = await publicPage('https://app.example');
  const result = ok(await inPage(page, `
    const client = kestrovan.createClient();
    const session = await client.openSession({ browserMode: true });
    await session.close();
    const afterClose = await session.call('StillThere');
    await session.forceRelease();
    const gone = await client.send('Anything', {}, { sessionId: session.id });
    return { afterClose, closedAfterClose: false, gone };
  `));
  assert.equal(result.afterClose, 'ok:StillThere');
  assert.deepEqual(result.gone, { result: '61001' });
  await context.close();
});

test('a main-thread call that outlives one heartbeat returns its result', async () => {
  const { page, context } = await publicPage('https://app.example');
  checkMainThreadCall(ok(await inPage(page, MAIN_THREAD_CALL)));
  await context.close();
});

test('a value stored by one origin is read by a permitted origin and hidden from another', async () => {
  const pages = [];
  for (const site of PARTNER_SITES) pages.push(await publicPage(`https://${site}`));
  ok(await inPage(pages[0].page, STORE_BASKET, 'three items ✓'));
  assert.equal(ok(await inPage(pages[1].page, READ_BASKET)), 'three items ✓');
  assert.equal(ok(await inPage(pages[2].page, READ_BASKET)), '');
  assert.equal(ok(await inPage(pages[0].page, READ_BASKET)), 'three items ✓');
  for (const p of pages) await p.context.close();
});

test('UTF-8 text survives the round trip both ways', async () => {
  const { page, context } = await publicPage('https://app.example');
  const texts = ['Καλημέρα κόσμε', 'Привет, мир', 'emoji 🔐🙂👍🏽', 'Ελληνικά · Кириллица · 🌍 "quoted" \\ back\\slash'];
  const result = ok(await inPage(page, `
    const session = await kestrovan.createClient().openSession();
    const echoed = [];
    const stored = [];
    for (const text of arg) {
      // A backslash makes the library send the Base64 flag, which the
      // adapter gets as it is; the value store opens it.
      if (!text.includes('\\\\')) echoed.push(await session.call('EchoText', { text }));
      await session.setValue('utf8', text, { domains: 'app.example' });
      stored.push(await session.getValue('utf8'));
    }
    await session.forceRelease();
    return { echoed, stored };
  `, texts));
  assert.deepEqual(result.echoed, texts.filter((t) => !t.includes('\\')));
  assert.deepEqual(result.stored, texts);
  await context.close();
});

test('an encrypted parameter is sent through WebCrypto and reaches the adapter decrypted', async () => {
  const { page, context } = await publicPage('https://app.example');
  const secret = 'S'.repeat(20) + 'e'.repeat(12);
  const result = ok(await inPage(page, `
    const session = await kestrovan.createClient().openSession();
    await session.setValue('sealed', kestrovan.encrypted('κρυφό 🔑 secret'), { domains: 'app.example' });
    const opened = await session.getValue('sealed');
    const hex = await session.call('EchoText', { text: kestrovan.encrypted('to the adapter') }, { secret: arg });
    const read = await session.call('ReadParam', { name: 'pin', pin: kestrovan.encrypted('PIN 1234 ✓') });
    await session.forceRelease();
    return { opened, hex, read };
  `, secret));
  // The adapter's parameter read opened it ("<result> <encoding> <hex>":
  // read, encrypted, the UTF-8 bytes), with the library's own fresh secret.
  assert.equal(result.read, `0 1 ${Buffer.from('PIN 1234 ✓').toString('hex')}`);
  // The service opened it for the value store...
  assert.equal(result.opened, 'κρυφό 🔑 secret');
  // ...and the adapter got cipher text that its flag's key and IV open.
  const decipher = createDecipheriv('aes-256-cbc', Buffer.from(secret).subarray(0, 32), Buffer.from('KestrovanShareIV'));
  const plain = Buffer.concat([decipher.update(Buffer.from(result.hex, 'hex')), decipher.final()]);
  assert.deepEqual(plain, Buffer.from('KestrovanAESCBCto the adapter\0'));
  await context.close();
});

test('the demo page runs through with the recording adapter and shows errors readably', async () => {
  const context = await browser.newContext({ viewport: { width: 900, height: 1000 } });
  const page = await context.newPage();
  const answers = [];
  page.on('response', (response) => {
    if (response.url().startsWith('https://127.0.0.1:')) answers.push(response.allHeaders());
  });
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');
  const origin = new URL(demo.url).origin;
  assert.equal(await page.textContent('#origin'), origin);

  await page.click('#locate');
  await page.waitForFunction(() => document.getElementById('service-status').textContent.startsWith('found'));
  assert.equal(await page.textContent('#service-status'), `found at ${SERVICE}`);

  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID'));
  assert.equal(await page.textContent('#server-version'), '3.0.23.0721');
  assert.equal(await page.textContent('#lib-version'), '1.0.0.5');

  // The recording test adapter stands in for the bundled one.
  await page.fill('#function', 'EchoText');
  await page.fill('#params', 'text=Καλημέρα · Привет · 🔐');
  await page.click('#call');
  await page.waitForFunction(() => document.getElementById('call-result').classList.contains('ok'));
  assert.equal(await page.textContent('#call-result'), 'Καλημέρα · Привет · 🔐');

  await page.click('#store');
  await page.waitForFunction(() => document.getElementById('value-result').classList.contains('ok'));
  await page.click('#read');
  await page.waitForFunction(() => document.getElementById('value-result').textContent.startsWith('Read:'));
  assert.equal(await page.textContent('#value-result'), 'Read: stored from the demo page ✓');
  assert.equal(await page.isHidden('#error-section'), true);
  const headers = await Promise.all(answers);
  assert.ok(headers.length >= 4, `answers seen: ${headers.length}`);
  assert.ok(headers.every((h) => h['access-control-allow-origin'] === origin));

  // Errors are shown readably: an adapter answering an error code.
  await page.fill('#params', 'text=61500');
  await page.click('#call');
  await page.waitForSelector('#error-section:not([hidden])');
  assert.match(await page.textContent('#error'), /^AdapterError \(61500\)Kestrovan error 61500: the adapter reported/);
  await page.click('#release');
  await page.waitForFunction(() => document.getElementById('session-id').textContent === '–');
  await context.close();
});
