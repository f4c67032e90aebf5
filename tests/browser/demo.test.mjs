// SPDX-License-Identifier: Apache-2.0
// The demo page in the run command's set-up: the service with the bundled
// PKI adapter, the demo page's origin on the user's allow-list, the local CA
// in the browser's NSS database. Takes the screenshot the README shows.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { makeInstallation, allowOrigin, startService, tempFolder } from '../js/harness.mjs';
import { launch, startDemo, repo } from './browser-harness.mjs';

const LIBRARY = fs.readFileSync(path.join(repo, 'clients', 'js', 'kestrovan.js'), 'utf8');
let root;
let service;
let browser;
let demo;

before(async () => {
  if (!process.env.KESTROVAN_PKI_ADAPTER) throw new Error('KESTROVAN_PKI_ADAPTER is not set: run through ctest');
  root = tempFolder('kestrovan-demo-');
  const installation = makeInstallation(root, { nss: true, adapter: process.env.KESTROVAN_PKI_ADAPTER });
  demo = await startDemo();
  allowOrigin(installation.home, demo.origin);
  service = await startService(installation);
  browser = await launch(installation.home);
});

after(async () => {
  if (browser) await browser.close();
  if (demo) demo.child.kill('SIGTERM');
  if (service) {
    const exit = await service.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `the service stops cleanly:\n${service.output().slice(-3000)}`);
  }
  if (root) fs.rmSync(root, { recursive: true, force: true });
});

test('the demo page lists certificates through the PKI adapter; screenshot', async () => {
  const context = await browser.newContext({ viewport: { width: 900, height: 1000 } });
  const page = await context.newPage();
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');

  await page.click('#locate');
  await page.waitForFunction(() => document.getElementById('service-status').textContent.startsWith('found'));
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID'));
  assert.equal(await page.textContent('#server-version'), '3.0.23.0721');
  assert.match(await page.textContent('#lib-version'), /^\d+\.\d+\.\d+\.\d+$/);

  // The page's defaults: ListCertificates on the service's main thread.
  assert.equal(await page.inputValue('#function'), 'ListCertificates');
  assert.equal(await page.isChecked('#main-thread'), true);
  await page.click('#call');
  await page.waitForFunction(() => document.getElementById('call-result').classList.contains('ok'), null, { timeout: 150000 });
  const answer = JSON.parse(await page.textContent('#call-result'));
  assert.equal(answer.code, 0);
  assert.ok(Array.isArray(answer.certificates));

  await page.click('#store');
  await page.waitForFunction(() => document.getElementById('value-result').classList.contains('ok'));
  await page.click('#read');
  await page.waitForFunction(() => document.getElementById('value-result').textContent.startsWith('Read:'));
  assert.equal(await page.isHidden('#error-section'), true);

  const shot = path.join(process.env.KESTROVAN_SCREENSHOT_DIR || tempFolder('kestrovan-shot-'), 'demo-page.png');
  await page.screenshot({ path: shot, fullPage: true });
  assert.deepEqual([...fs.readFileSync(shot).subarray(1, 4)], [...Buffer.from('PNG')]);
  await page.click('#release');
  await context.close();
});

test('the demo page sends every parameter line as written, "__proto__" and "constructor" included', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID'));
  await page.fill('#function', 'ParameterLines');
  await page.uncheck('#main-thread');
  await page.fill('#params', '__proto__=first\nconstructor=second\nplain=third=3');
  const sent = page.waitForRequest((request) => request.method() === 'POST'
    && JSON.parse(Buffer.from(new URLSearchParams(request.postData()).get('Parameter'), 'base64').toString('utf8'))
      .FunctionName === 'ParameterLines');
  await page.click('#call');
  const request = JSON.parse(Buffer.from(new URLSearchParams((await sent).postData()).get('Parameter'), 'base64').toString('utf8'));
  assert.ok(Object.hasOwn(request, '__proto__'), JSON.stringify(request));
  assert.equal(request['__proto__'], 'first');
  assert.equal(request.constructor, 'second');
  assert.equal(request.plain, 'third=3');
  await page.click('#release');
  await context.close();
});

test('a site the user has not allowed is refused by the PKI adapter, and told so', async () => {
  const origin = 'https://stranger.example';
  const context = await browser.newContext();
  await context.grantPermissions(['local-network-access'], { origin });
  const page = await context.newPage();
  await page.route(`${origin}/**`, (route) => (new URL(route.request().url()).pathname === '/kestrovan.js'
    ? route.fulfill({ status: 200, contentType: 'text/javascript', body: LIBRARY })
    : route.fulfill({ status: 200, contentType: 'text/html', body: '<!doctype html><title>stranger</title>' })));
  await page.goto(`${origin}/`);
  const error = await page.evaluate(async () => {
    const { createClient } = await import('/kestrovan.js');
    try {
      await createClient().openSession();
      return null;
    } catch (e) {
      return { kind: e.kind, result: e.result, message: e.message };
    }
  });
  assert.ok(error, 'the session must not open');
  assert.equal(error.kind, 'AdapterRefused');
  assert.equal(JSON.parse(error.result).code, 71016);
  assert.match(error.message, /refused this page/);
  await context.close();
});
