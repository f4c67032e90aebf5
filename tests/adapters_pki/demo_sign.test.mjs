// demo_sign.test.mjs -- the demo page signs a text with the PKI adapter in
// Debian's Chromium, against the real service, and openssl verifies the
// signature against the test CA. The user's key is the fixture's PKCS #12
// file in the installation's key folder; the token is there too.
// Uses the node harness of tests/js and the browser harness of tests/browser.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { makeInstallation, allowOrigin, helmSettings, startService, tempFolder } from '../js/harness.mjs';
import { launch, startDemo } from '../browser/browser-harness.mjs';

const FIXTURE = process.env.HELM_FIXTURE_DIR;
let root;
let home;
let service;
let browser;
let demo;

before(async () => {
  if (!FIXTURE || !process.env.KESTROVAN_PKI_ADAPTER) throw new Error('run through ctest (fixture and adapter unknown)');
  root = tempFolder('kestrovan-helm-demo-');
  const installation = makeInstallation(root, { nss: true, adapter: process.env.KESTROVAN_PKI_ADAPTER });
  home = installation.home;
  demo = await startDemo();
  allowOrigin(home, demo.origin);
  // This page sends the PIN itself, as a kiosk would; the fixture's keys are
  // for authentication by the default rules.
  helmSettings(home, `page-pin-origins = ${demo.origin}\nsign-without-non-repudiation = true\n`);
  fs.cpSync(path.join(FIXTURE, 'home', '.config', 'kestrovan', 'helm', 'keys'),
    path.join(home, '.config', 'kestrovan', 'helm', 'keys'), { recursive: true });
  service = await startService(installation);
  browser = await launch(home);
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

// Calls a function on the demo page as a user does and answers its JSON.
async function callOnPage(page, name, lines) {
  await page.fill('#function', name);
  await page.fill('#params', lines.join('\n'));
  await page.click('#call');
  await page.waitForFunction(() => {
    const out = document.getElementById('call-result');
    return out.classList.contains('ok') || !document.getElementById('error-section').hidden;
  }, null, { timeout: 120000 });
  assert.equal(await page.isHidden('#error-section'), true, await page.textContent('#error'));
  return JSON.parse(await page.textContent('#call-result'));
}

test('the demo page signs a text and openssl verifies the signature', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');
  await page.click('#locate');
  await page.waitForFunction(() => document.getElementById('service-status').textContent.startsWith('found'));
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID'));
  assert.equal(await page.isChecked('#main-thread'), true);

  const list = await callOnPage(page, 'ListCertificates', []);
  assert.equal(list.code, 0);
  const names = list.certificates.map((c) => c.commonName);
  assert.ok(names.includes('Soft Signer'), names.join(', '));
  assert.ok(names.includes('Token Signer'), names.join(', '));
  const soft = list.certificates.find((c) => c.commonName === 'Soft Signer');

  // With the page's hide switch on, as a user would for a PIN: the flags it
  // adds must not disturb the adapter's reading of the values.
  await page.check('#hide');
  const text = 'Ich stimme zu — I agree ✓';
  const signed = await callOnPage(page, 'SignCms', [`id=${soft.id}`, 'pin=5678', `data=${text}`]);
  assert.equal(signed.code, 0);
  await page.click('#release');
  await context.close();

  const work = tempFolder('kestrovan-helm-demo-sig-');
  try {
    fs.writeFileSync(path.join(work, 'sig.der'), Buffer.from(signed.cms, 'base64'));
    fs.writeFileSync(path.join(work, 'content.txt'), Buffer.from(text, 'utf8'));
    const verify = (content) => spawnSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER',
      '-in', path.join(work, 'sig.der'), '-content', content, '-CAfile', path.join(FIXTURE, 'ca.crt'),
      '-out', '/dev/null'], { encoding: 'utf8' });
    const good = verify(path.join(work, 'content.txt'));
    assert.equal(good.status, 0, good.stderr);
    fs.writeFileSync(path.join(work, 'other.txt'), Buffer.from(`${text}!`, 'utf8'));
    assert.notEqual(verify(path.join(work, 'other.txt')).status, 0);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
