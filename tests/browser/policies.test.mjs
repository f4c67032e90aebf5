// SPDX-License-Identifier: Apache-2.0
// The administrator's policies, written by NORTAKestrovanPolicies into a
// folder, read by the real browsers: the JSON is what each browser expects,
// a listed site reaches the service with no permission grant in Chromium
// and without the question in Firefox (whose profile trusts the local CA
// only through the policy), and a site not listed does not.
//
// Browsers read managed policies only from fixed system folders (Chromium
// /etc/chromium/policies, Firefox ESR its distribution folder or
// /etc/firefox/policies); no flag or preference moves them in a release
// build. ctest runs this file in a mount namespace of its own, where the
// written files are bind-mounted over those folders; the machine's own
// folders are never changed (the test refuses to mount outside a private
// mount namespace).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { startService, tempFolder } from '../js/harness.mjs';
import { launch, repo } from './browser-harness.mjs';
import { makeSiteCertificates, startSiteServer, makeProfile, trustInProfile, profileCertificates,
  launchFirefox, siteContext } from './firefox-harness.mjs';
import { runInPage, ok } from './scenarios.mjs';

const LIBRARY = fs.readFileSync(path.join(repo, 'clients', 'js', 'kestrovan.js'), 'utf8');
const SITES = ['https://bank.example', 'https://[*.]partner.example'];
const FIREFOX_DISTRIBUTION = '/usr/lib/firefox-esr/distribution';
let service;
let work;
let written;

function readJson(relative) {
  return JSON.parse(fs.readFileSync(path.join(written, relative), 'utf8'));
}

// Shows folder's files at target, in this process's mount namespace only:
// target's own files are copied beside them first.
function mountOver(target, folder) {
  const outer = process.env.KESTROVAN_OUTER_MOUNT_NS;
  assert.ok(outer && fs.readlinkSync('/proc/self/ns/mnt') !== outer,
    'not in a mount namespace of its own: run through ctest (in-mount-namespace.sh)');
  const real = fs.realpathSync(target);
  const staging = path.join(work, `staging-${path.basename(target)}`);
  fs.cpSync(real, staging, { recursive: true });
  fs.cpSync(folder, staging, { recursive: true });
  const result = spawnSync('mount', ['--bind', staging, real], { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
}

before(async () => {
  if (!process.env.KESTROVAN_POLICIES_EXE) throw new Error('KESTROVAN_POLICIES_EXE is not set: run through ctest');
  service = await startService();
  work = tempFolder('kestrovan-policies-');
  written = path.join(work, 'policies');
  const result = spawnSync(process.env.KESTROVAN_POLICIES_EXE, ['--out', written, ...SITES], { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stdout + result.stderr);
});

after(async () => {
  if (work) fs.rmSync(work, { recursive: true, force: true });
  if (service) {
    const exit = await service.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, `the service stops cleanly:\n${service.output().slice(-3000)}`);
  }
});

test('the written policy files are the JSON each browser reads', () => {
  const patterns = ['https://bank.example', 'https://[*.]partner.example'];
  for (const file of ['etc/chromium/policies/managed/kestrovan.json', 'etc/opt/chrome/policies/managed/kestrovan.json',
    'etc/opt/edge/policies/managed/kestrovan.json']) {
    assert.deepEqual(readJson(file), { LocalNetworkAccessAllowedForUrls: patterns, LoopbackNetworkAllowedForUrls: patterns }, file);
  }
  assert.deepEqual(readJson('etc/firefox/policies/policies.json'), { policies: {
    LocalNetworkAccess: { SkipDomains: ['bank.example', 'partner.example', '*.partner.example'] },
    Certificates: { Install: ['NORTAKestrovan-local-ca.pem'] },
  } });
  // Nothing else was written.
  const all = fs.readdirSync(written, { recursive: true }).filter((f) => f.endsWith('.json')).sort();
  assert.equal(all.length, 4, all.join(', '));
  // The copy of the CA the Firefox policy names is where Firefox looks.
  const home = service.installation.home;
  assert.equal(fs.readFileSync(path.join(home, '.mozilla', 'certificates', 'NORTAKestrovan-local-ca.pem'), 'utf8'),
    fs.readFileSync(path.join(home, 'NORTAKestrovan', 'ca.pem'), 'utf8'));
});

test('Chromium: a listed site reaches the service with no permission grant; another site does not', async () => {
  mountOver('/etc/chromium', path.join(written, 'etc', 'chromium'));
  const browser = await launch(service.installation.home);
  try {
    const outcomes = {};
    for (const origin of ['https://bank.example', 'https://www.partner.example', 'https://stranger.example']) {
      const context = await browser.newContext(); // no grantPermissions
      const page = await context.newPage();
      await page.route(`${origin}/**`, (route) => (new URL(route.request().url()).pathname === '/kestrovan.js'
        ? route.fulfill({ status: 200, contentType: 'text/javascript', body: LIBRARY })
        : route.fulfill({ status: 200, contentType: 'text/html', body: '<!doctype html><title>site</title>' })));
      await page.goto(`${origin}/`);
      outcomes[origin] = await page.evaluate(runInPage, [`
        const session = await kestrovan.createClient({ probeTimeoutMs: 3000 }).openSession();
        await session.forceRelease();
        return session.serverVersion;`, null]);
      await context.close();
    }
    assert.equal(ok(outcomes['https://bank.example']), '3.0.23.0721');
    assert.equal(ok(outcomes['https://www.partner.example']), '3.0.23.0721');
    assert.equal(outcomes['https://stranger.example'].error?.kind, 'ServiceUnreachable');
  } finally {
    await browser.close();
  }
});

test('Firefox: the policy trusts the local CA and lets a listed site reach the service unasked', async () => {
  mountOver(FIREFOX_DISTRIBUTION, path.join(written, 'etc', 'firefox', 'policies'));
  const home = service.installation.home;
  const certificates = makeSiteCertificates(work);
  const sites = await startSiteServer(certificates);
  // A profile made after provisioning ran: only the policy can make it
  // trust the local CA.
  const profile = makeProfile(home, 'after-provisioning.default');
  trustInProfile(profile, 'Kestrovan test sites CA', certificates.ca);
  assert.doesNotMatch(profileCertificates(profile), /NORTAKestrovan local CA/);
  const firefox = await launchFirefox({ home, profile, sitePort: sites.port });
  try {
    const outcomes = {};
    for (const site of ['bank.example', 'shop.example']) {
      const context = await siteContext(firefox, site, null); // the user has not answered
      const page = await context.newPage();
      await page.goto(`https://${site}/`);
      outcomes[site] = await page.evaluate(runInPage, [`
        const state = (await navigator.permissions.query({ name: 'loopback-network' })).state;
        const session = await kestrovan.createClient({ timeoutMs: 4000 }).openSession();
        await session.forceRelease();
        return { state, version: session.serverVersion };`, null]);
      await context.close();
    }
    assert.deepEqual(ok(outcomes['bank.example']), { state: 'prompt', version: '3.0.23.0721' });
    assert.equal(outcomes['shop.example'].error?.kind, 'Timeout', JSON.stringify(outcomes['shop.example']));
    assert.match(profileCertificates(profile), /NORTAKestrovan local CA/);
  } finally {
    await firefox.close();
    await sites.close();
  }
});
