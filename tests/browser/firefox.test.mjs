// SPDX-License-Identifier: Apache-2.0
// Real-browser tests in Debian's Firefox ESR (through puppeteer-core over
// WebDriver BiDi) against the real running service. Firefox trusts the
// service the user's way: its profile is registered in the throw-away HOME's
// profiles.ini and the provisioning command imported the local CA into it;
// no certificate flag. Pages come from a real local HTTPS server that the
// prefs make count as public sites, so Firefox's local-network check
// applies: each case's browser context has the loopback-network permission
// granted, denied or never answered.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { startService, provisionHome, tempFolder } from '../js/harness.mjs';
import { makeSiteCertificates, startSiteServer, makeProfile, trustInProfile, profileCertificates,
  launchFirefox, siteContext } from './firefox-harness.mjs';
import { runInPage, ok, OPEN_CALL_CLOSE, checkOpenCallClose, MAIN_THREAD_CALL, checkMainThreadCall, PARTNER_SITES, STORE_BASKET, READ_BASKET }
  from './scenarios.mjs';

const SERVICE = 'https://127.0.0.1:56459';
let service;
let work;
let sites;
let profile;
let browser;
const answers = []; // { site, url, method, status, headers, contentType }

before(async () => {
  service = await startService();
  const home = service.installation.home;
  work = tempFolder('kestrovan-firefox-');
  const certificates = makeSiteCertificates(work);
  sites = await startSiteServer(certificates);
  // The profile exists before provisioning runs, as a user's does.
  profile = makeProfile(home);
  trustInProfile(profile, 'Kestrovan test sites CA', certificates.ca);
  provisionHome(home, { nss: true });
  browser = await launchFirefox({ home, profile, sitePort: sites.port });
});

after(async () => {
  if (browser) await browser.close();
  if (sites) await sites.close();
  if (work) fs.rmSync(work, { recursive: true, force: true });
  if (service) {
    const exit = await service.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `the service stops cleanly:\n${service.output().slice(-3000)}`);
  }
});

// A page of https://site/ in a context of its own, with the permission in
// state (null: the user has not answered). Records the service's answers.
async function sitePage(site, state = 'granted') {
  const context = await siteContext(browser, site, state);
  const page = await context.newPage();
  page.on('response', (response) => {
    if (!response.url().startsWith('https://127.0.0.1:')) return;
    const request = response.request();
    answers.push({ site, url: response.url(), method: request.method(), status: response.status(),
      headers: response.headers(), contentType: request.headers()['content-type'] });
  });
  await page.goto(`https://${site}/`);
  return { page, context };
}

// Runs body(kestrovan, arg) in the page with the library imported.
function inPage(page, body, arg = null) {
  return page.evaluate(runInPage, [body, arg]);
}

test('provisioning imported the local CA into the Firefox profile once', () => {
  provisionHome(service.installation.home, { nss: true });
  const listing = profileCertificates(profile);
  assert.equal(listing.split('NORTAKestrovan local CA').length - 1, 1, listing);
  assert.match(listing, /NORTAKestrovan local CA\s+C,,/);
});

test('a public page with the permission opens a session, calls the adapter and closes', async () => {
  const site = 'app.example';
  const { page, context } = await sitePage(site);
  checkOpenCallClose(ok(await inPage(page, OPEN_CALL_CLOSE, 'firefox')));
  assert.match(service.adapterLog(), /enter\tKestrovan_Unlock\thttps:\/\/app\.example\n/);
  // The answers as the page could not read them: a form POST each (no
  // preflight), allowed for the page's origin only.
  const mine = answers.filter((a) => a.site === site);
  assert.ok(mine.length >= 4, `probe, echo, call, close: ${mine.length}`);
  for (const answer of mine) {
    assert.equal(answer.method, 'POST');
    assert.equal(answer.status, 200);
    assert.match(answer.contentType, /^application\/x-www-form-urlencoded/);
    assert.equal(answer.headers['access-control-allow-origin'], `https://${site}`);
    assert.equal(answer.headers['x-xss-protection'], '1; mode=block');
  }
  await context.close();
});

test('permission denied: nothing reaches the service and the library says what to allow', async () => {
  const site = 'denied.example';
  const { page, context } = await sitePage(site, 'denied');
  const started = Date.now();
  const outcome = await inPage(page, 'await kestrovan.createClient().openSession();');
  assert.ok(outcome.error, 'the call must fail');
  assert.equal(outcome.error.kind, 'ServiceUnreachable');
  assert.equal(outcome.error.permissionState, 'denied');
  assert.match(outcome.error.message, /blocks it now/);
  assert.match(outcome.error.message, /Allow "Access other apps and services on this device"/);
  assert.ok(Date.now() - started < 30000, 'refused at once, not after a wait');
  assert.equal(answers.filter((a) => a.site === site).length, 0);
  assert.doesNotMatch(service.adapterLog(), /denied\.example/);
  await context.close();
});

test('permission never answered: the call waits for the user, and its deadline says what to allow', async () => {
  const site = 'asking.example';
  const { page, context } = await sitePage(site, null);
  const outcome = await inPage(page, `
    const state = (await navigator.permissions.query({ name: 'loopback-network' })).state;
    if (state !== 'prompt') throw new Error('permission state ' + state);
    await kestrovan.createClient({ timeoutMs: 4000 }).openSession();
  `);
  assert.ok(outcome.error, 'the call must not succeed');
  assert.equal(outcome.error.kind, 'Timeout', outcome.error.message);
  assert.equal(outcome.error.permissionState, 'prompt');
  assert.match(outcome.error.message, /within 4000 ms/);
  assert.match(outcome.error.message, /still asking whether this site may access other apps and services on this device/);
  assert.match(outcome.error.message, /answer "Allow"/);
  assert.equal(answers.filter((a) => a.site === site).length, 0);
  assert.doesNotMatch(service.adapterLog(), /asking\.example/);
  await context.close();
});

test('a main-thread call that outlives one heartbeat returns its result', async () => {
  const { page, context } = await sitePage('app.example');
  checkMainThreadCall(ok(await inPage(page, MAIN_THREAD_CALL)));
  await context.close();
});

test('Greek, Cyrillic and emoji survive the round trip both ways', async () => {
  const { page, context } = await sitePage('app.example');
  const texts = ['Καλημέρα κόσμε', 'Привет, мир', 'emoji 🔐🙂👍🏽', 'Ελληνικά · Кириллица · 🌍 "quoted"'];
  const result = ok(await inPage(page, `
    const session = await kestrovan.createClient().openSession();
    const echoed = [];
    const stored = [];
    for (const text of arg) {
      echoed.push(await session.call('EchoText', { text }));
      await session.setValue('utf8', text, { domains: 'app.example' });
      stored.push(await session.getValue('utf8'));
    }
    await session.forceRelease();
    return { echoed, stored };
  `, texts));
  assert.deepEqual(result.echoed, texts);
  assert.deepEqual(result.stored, texts);
  await context.close();
});

test('a value stored by one site is read by a permitted site and hidden from another', async () => {
  const pages = [];
  for (const site of PARTNER_SITES) pages.push(await sitePage(site));
  ok(await inPage(pages[0].page, STORE_BASKET, 'τρία items ✓'));
  assert.equal(ok(await inPage(pages[1].page, READ_BASKET)), 'τρία items ✓');
  assert.equal(ok(await inPage(pages[2].page, READ_BASKET)), '');
  assert.equal(ok(await inPage(pages[0].page, READ_BASKET)), 'τρία items ✓');
  for (const p of pages) await p.context.close();
});

test('a profile that provisioning did not reach does not trust the service', async () => {
  const home = path.join(work, 'untrusting');
  fs.mkdirSync(home);
  const untrustingProfile = makeProfile(home);
  trustInProfile(untrustingProfile, 'Kestrovan test sites CA', path.join(work, 'sites-ca.pem'));
  const untrusting = await launchFirefox({ home, profile: untrustingProfile, sitePort: sites.port });
  try {
    const context = await siteContext(untrusting, 'app.example', 'granted');
    const page = await context.newPage();
    await page.goto('https://app.example/');
    const outcome = await inPage(page, 'await kestrovan.createClient({ probeTimeoutMs: 2000 }).openSession();');
    assert.equal(outcome.error && outcome.error.kind, 'ServiceUnreachable');
    assert.match(outcome.error.message, /NORTAKestrovanProvision --nss/);
    await assert.rejects(page.goto(`${SERVICE}/`), /SEC_ERROR_UNKNOWN_ISSUER|UNKNOWN_ISSUER|certificate/i);
  } finally {
    await untrusting.close();
  }
});
