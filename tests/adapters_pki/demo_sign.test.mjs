// SPDX-License-Identifier: Apache-2.0
// demo_sign.test.mjs -- the demo page signs a text with the PKI adapter in
// Debian's Chromium and in Debian's Firefox ESR, against the real service,
// and openssl verifies each signature against the test CA. The user's key is
// the fixture's PKCS #12 file in the installation's key folder; the token is
// there too. Chromium opens the demo page from the demo server's loopback
// origin; Firefox from a public https site served by a real local server,
// granted local network access, trusting the service through the CA that
// provisioning imported into its profile. Both first as kiosk pages that
// send the PIN themselves; then, in Chromium, as any site: the user allows
// it in the consent dialog and types the PIN into the PIN dialog (the stub
// pinentry answering, slower than the service's wait, so the page's
// main-thread calls outlive heartbeats), and logs in, which the demo server
// verifies.
// Uses the node harness of tests/js and the browser harnesses of tests/browser.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { makeInstallation, allowOrigin, helmSettings, provisionHome, startService, tempFolder } from '../js/harness.mjs';
import { launch, startDemo } from '../browser/browser-harness.mjs';
import { makeSiteCertificates, startSiteServer, makeProfile, trustInProfile, launchFirefox, siteContext }
  from '../browser/firefox-harness.mjs';

const FIXTURE = process.env.HELM_FIXTURE_DIR;
const SITE = 'bank.example';
let root;
let home;
let service;
let browser;
let demo;
let dialogs; // the stub pinentry's plan and log
let chooser; // the stub list dialog's answer and log

before(async () => {
  if (!FIXTURE || !process.env.KESTROVAN_PKI_ADAPTER) throw new Error('run through ctest (fixture and adapter unknown)');
  root = tempFolder('kestrovan-helm-demo-');
  const installation = makeInstallation(root, { nss: true, adapter: process.env.KESTROVAN_PKI_ADAPTER });
  home = installation.home;
  demo = await startDemo(['--trust-anchors', path.join(FIXTURE, 'ca.crt')]);
  allowOrigin(home, demo.origin);
  allowOrigin(home, `https://${SITE}`);
  // The first tests' pages send the PIN themselves, as a kiosk would.
  // Dialogs are the stub pinentry's.
  const stub = path.resolve('stub_pinentry.sh');
  helmSettings(home, `page-pin-origins = ${demo.origin}\npage-pin-origins = https://${SITE}\npinentry = ${stub}\n`);
  dialogs = { plan: path.join(root, 'plan'), log: path.join(root, 'dialogs.log') };
  fs.cpSync(path.join(FIXTURE, 'home', '.config', 'kestrovan', 'helm', 'keys'),
    path.join(home, '.config', 'kestrovan', 'helm', 'keys'), { recursive: true });
  // A key for logging in (digitalSignature alone): the signers' keys sign.
  fs.copyFileSync(path.join(FIXTURE, 'extra', 'soft-auth.p12'),
    path.join(home, '.config', 'kestrovan', 'helm', 'keys', 'soft-auth.p12'));
  // The service's environment, which it passes on to pinentry: a display
  // (the stub shows nothing) and the stub's files. Not the browser's.
  // The list dialog is stub_chooser.sh, answering from a file.
  chooser = { answer: path.join(root, 'chooser-answer'), log: path.join(root, 'chooser.log') };
  const chooserEnvironment = {
    KESTROVAN_HELM_CHOOSER: path.resolve('stub_chooser.sh'), STUB_CHOOSER_ANSWER_FILE: chooser.answer,
    STUB_CHOOSER_LOG: chooser.log,
  };
  Object.assign(process.env, { DISPLAY: ':77', STUB_PINENTRY_PLAN: dialogs.plan, STUB_PINENTRY_LOG: dialogs.log },
    chooserEnvironment);
  try {
    service = await startService(installation);
  } finally {
    for (const name of ['DISPLAY', 'STUB_PINENTRY_PLAN', 'STUB_PINENTRY_LOG', ...Object.keys(chooserEnvironment)]) {
      delete process.env[name];
    }
  }
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

// The few steps a user takes on the demo page, in each driver's words.
const chromiumSteps = (page) => ({
  fill: (selector, text) => page.fill(selector, text),
  click: (selector) => page.click(selector),
  checked: (selector) => page.isChecked(selector),
  text: (selector) => page.textContent(selector),
  hidden: (selector) => page.isHidden(selector),
  until: (condition, ms = 30000) => page.waitForFunction(condition, null, { timeout: ms }),
});
const firefoxSteps = (page) => ({
  fill: (selector, text) => page.locator(selector).fill(text),
  click: (selector) => page.click(selector),
  checked: (selector) => page.$eval(selector, (element) => element.checked),
  text: (selector) => page.$eval(selector, (element) => element.textContent),
  hidden: (selector) => page.$eval(selector, (element) => element.hidden),
  until: (condition, ms = 30000) => page.waitForFunction(condition, { timeout: ms }),
});

// Calls a function on the demo page as a user does and answers its JSON.
async function callOnPage(steps, name, lines) {
  await steps.fill('#function', name);
  await steps.fill('#params', lines.join('\n'));
  await steps.click('#call');
  await steps.until(() => {
    const out = document.getElementById('call-result');
    return out.classList.contains('ok') || !document.getElementById('error-section').hidden;
  }, 120000);
  assert.equal(await steps.hidden('#error-section'), true, await steps.text('#error'));
  return JSON.parse(await steps.text('#call-result'));
}

// On a loaded demo page: finds the service, opens a session, lists the
// certificates, signs text with the soft key (the page's hide switch on, as
// a user would for a PIN) and releases the session. Answers the CMS.
async function signOnDemoPage(steps, text) {
  await steps.until(() => document.body.dataset.ready === 'true');
  await steps.click('#locate');
  await steps.until(() => document.getElementById('service-status').textContent.startsWith('found'));
  await steps.click('#open');
  await steps.until(() => document.getElementById('session-id').textContent.endsWith('_SID'));
  assert.equal(await steps.checked('#main-thread'), true);

  const list = await callOnPage(steps, 'ListCertificates', []);
  assert.equal(list.code, 0);
  const names = list.certificates.map((c) => c.commonName);
  assert.ok(names.includes('Soft Signer'), names.join(', '));
  assert.ok(names.includes('Token Signer'), names.join(', '));
  const soft = list.certificates.find((c) => c.commonName === 'Soft Signer');

  // The flags the hide switch adds must not disturb the adapter's reading.
  await steps.click('#hide');
  const signed = await callOnPage(steps, 'SignCms', [`id=${soft.id}`, 'pin=5678', `data=${text}`]);
  assert.equal(signed.code, 0);
  await steps.click('#release');
  return Buffer.from(signed.cms, 'base64');
}

// openssl verifies the signature over text against the test CA, and refuses
// it over another text.
function verifyWithOpenssl(cms, text) {
  const work = tempFolder('kestrovan-helm-demo-sig-');
  try {
    fs.writeFileSync(path.join(work, 'sig.der'), cms);
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
}

test('the demo page signs a text in Chromium and openssl verifies the signature', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(demo.url);
  const text = 'Ich stimme zu — I agree ✓';
  const cms = await signOnDemoPage(chromiumSteps(page), text);
  await context.close();
  verifyWithOpenssl(cms, text);
});

test('the demo page on a public site signs a text in Firefox and openssl verifies the signature', async () => {
  const work = tempFolder('kestrovan-helm-demo-firefox-');
  const certificates = makeSiteCertificates(work);
  const sites = await startSiteServer(certificates);
  const profile = makeProfile(home);
  trustInProfile(profile, 'Kestrovan test sites CA', certificates.ca);
  provisionHome(home, { nss: true });
  const firefox = await launchFirefox({ home, profile, sitePort: sites.port });
  try {
    const context = await siteContext(firefox, SITE, 'granted');
    const page = await context.newPage();
    await page.goto(`https://${SITE}/demo/`);
    assert.equal(await page.$eval('#origin', (element) => element.textContent), `https://${SITE}`);
    const text = 'Συμφωνώ · Согласен · I agree 🖋';
    const cms = await signOnDemoPage(firefoxSteps(page), text);
    await context.close();
    verifyWithOpenssl(cms, text);
  } finally {
    await firefox.close();
    await sites.close();
    fs.rmSync(work, { recursive: true, force: true });
  }
});

// Waits for the PKI section's answer and returns its text.
async function pkiResult(page) {
  await page.waitForFunction(() => {
    const out = document.getElementById('pki-result');
    return out.classList.contains('ok') || out.dataset.verdict !== undefined ||
      !document.getElementById('error-section').hidden;
  }, null, { timeout: 120000 });
  assert.equal(await page.isHidden('#error-section'), true, await page.textContent('#error'));
  return page.textContent('#pki-result');
}

test('the demo page: the user chooses the certificate, the page gets that one and signs with it', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');
  await page.click('#locate');
  await page.waitForFunction(() => document.getElementById('service-status').textContent.startsWith('found'));
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID'));

  // Cancelled: the page gets nothing.
  fs.writeFileSync(chooser.answer, 'CANCELLED\n');
  fs.rmSync(chooser.log, { force: true });
  await page.click('#choose');
  await page.waitForFunction(() => !document.getElementById('error-section').hidden, null, { timeout: 60000 });
  assert.match(await page.textContent('#error'), /71021/);
  assert.equal(await page.$eval('#certificate', (select) => select.options.length), 0);
  const rows = fs.readFileSync(chooser.log, 'utf8').split('\n').filter((l) => l.startsWith('row '))
    .map((l) => decodeURIComponent(l.slice(4).split('\t')[0]));
  const index = rows.indexOf('Soft Signer');
  assert.ok(index >= 0, rows.join(', '));
  assert.ok(fs.readFileSync(chooser.log, 'utf8').includes(`site ${demo.origin}`));

  // Chosen: exactly that one, and the page signs with it (the PIN in the stub's dialog).
  fs.writeFileSync(chooser.answer, `CHOSEN ${index}\n`);
  fs.writeFileSync(dialogs.plan, 'pin 5678\n');
  await page.click('#choose');
  await pkiResult(page);
  const options = await page.$eval('#certificate', (select) => [...select.options].map((o) => o.textContent));
  assert.deepEqual(options, ['Soft Signer (signing)']);
  const text = 'Chosen by the user ✓';
  await page.fill('#sign-text', text);
  await page.click('#sign');
  const signed = JSON.parse(await pkiResult(page));
  assert.equal(signed.code, 0);
  await page.click('#release');
  await context.close();
  verifyWithOpenssl(Buffer.from(signed.cms, 'base64'), text);
});

test('any site: the user allows it and types the PIN in dialogs, the page signs and logs in without a PIN field', async () => {
  // Not on the list any more: the session's opening asks the user.
  const list = path.join(home, '.config', 'kestrovan', 'helm', 'allowed-origins');
  fs.writeFileSync(list, fs.readFileSync(list, 'utf8').split('\n').filter((l) => l !== demo.origin).join('\n'));
  // Consent, then the PIN, each slower than the service's 7-second wait.
  fs.writeFileSync(dialogs.plan, 'delay 9 ok\ndelay 9 pin 5678\npin 5678\n');
  const heartbeatsBefore = service.count('No result from component yet send heartbeat');

  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(demo.url);
  await page.waitForSelector('body[data-ready="true"]');
  assert.equal(await page.locator('input[type=password], #pin').count(), 0, 'no PIN field');
  await page.click('#locate');
  await page.waitForFunction(() => document.getElementById('service-status').textContent.startsWith('found'));
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('session-id').textContent.endsWith('_SID') ||
    !document.getElementById('error-section').hidden, null, { timeout: 120000 });
  assert.equal(await page.isHidden('#error-section'), true, await page.textContent('#error'));
  const afterConsent = service.count('No result from component yet send heartbeat');
  assert.ok(afterConsent > heartbeatsBefore, 'the opening outlived the service\'s wait');

  await page.click('#list');
  await page.waitForFunction(() => document.getElementById('certificate').options.length > 0);
  const soft = await page.$eval('#certificate', (select) =>
    [...select.options].find((o) => o.textContent.startsWith('Soft Signer')).value);
  await page.selectOption('#certificate', soft);
  const text = 'Ich stimme zu — I agree ✓';
  await page.fill('#sign-text', text);
  await page.click('#sign');
  const signed = JSON.parse(await pkiResult(page));
  assert.equal(signed.code, 0);
  assert.ok(service.count('No result from component yet send heartbeat') > afterConsent, 'the PIN dialog outlived it too');

  // Logging in takes a key for logging in (digitalSignature alone).
  const login = await page.$eval('#certificate', (select) =>
    [...select.options].find((o) => o.textContent.startsWith('Soft Auth')).value);
  await page.selectOption('#certificate', login);
  await page.click('#login');
  await pkiResult(page);
  const verdict = JSON.parse(await page.$eval('#pki-result', (out) => out.dataset.verdict));
  assert.equal(verdict.ok, true, JSON.stringify(verdict));
  assert.match(verdict.signer.subject, /CN=Soft Auth/);
  assert.equal(verdict.origin, demo.origin);
  await page.click('#release');
  await context.close();

  // The dialogs named the site the service saw.
  const log = fs.readFileSync(dialogs.log, 'utf8');
  assert.ok(log.includes(`SETDESC Allow ${demo.origin} to use your certificates?`), log);
  assert.ok(log.includes(`SETDESC ${demo.origin} asks to sign a document`), log);
  assert.ok(log.includes(`SETDESC ${demo.origin} asks to log you in`), log);
  assert.ok(!fs.readFileSync(list, 'utf8').includes(demo.origin), 'allowed once only');

  const work = tempFolder('kestrovan-helm-demo-sig-');
  try {
    fs.writeFileSync(path.join(work, 'sig.der'), Buffer.from(signed.cms, 'base64'));
    fs.writeFileSync(path.join(work, 'content.txt'), Buffer.from(text, 'utf8'));
    const verify = spawnSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER',
      '-in', path.join(work, 'sig.der'), '-content', path.join(work, 'content.txt'), '-CAfile', path.join(FIXTURE, 'ca.crt'),
      '-out', '/dev/null'], { encoding: 'utf8' });
    assert.equal(verify.status, 0, verify.stderr);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
