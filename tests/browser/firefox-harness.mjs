// SPDX-License-Identifier: Apache-2.0
// firefox-harness.mjs -- what the Firefox tests share: Debian's Firefox ESR
// driven through puppeteer-core over WebDriver BiDi (Firefox's own remote
// agent: no driver, no browser download), kept on this machine, with a
// profile under a throw-away HOME that trusts what provisioning imported;
// and a real local HTTPS server that serves the pages of made-up public
// sites (https://NAME/ for every NAME in SITES).
//
// Firefox checks local-network access only for pages that come from a real
// server, so the pages are served for real: the prefs resolve the site names
// to 127.0.0.1, send port 443 to the page server's port and make that
// address count as public. Every other name goes to a dead proxy and
// MOZ_DISABLE_NONLOCAL_CONNECTIONS stops the rest: nothing leaves the
// machine.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

import { repo } from './browser-harness.mjs';

export const FIREFOX = '/usr/bin/firefox-esr';
export const SITES = ['shop.example', 'www.partner.example', 'evil.example', 'app.example', 'bank.example',
  'denied.example', 'asking.example'];
// Where puppeteer's defaults point Firefox's own services; resolved to
// loopback like the sites, so no query for it leaves the machine either.
const DUMMY = 'dummy.test';
const DEAD = 'http://127.0.0.1:9';

function run(program, args, options = {}) {
  const result = spawnSync(program, args, { encoding: 'utf8', ...options });
  if (result.error) throw new Error(`${program}: ${result.error.message}`);
  if (result.status !== 0) throw new Error(`${program} ${args.join(' ')} (status ${result.status}):\n${result.stdout}${result.stderr}`);
  return result.stdout;
}

// A test CA and a certificate for every site, made with openssl in folder.
// The CA stands in for the public CAs real sites use; it is trusted in the
// test profile only.
export function makeSiteCertificates(folder) {
  const file = (name) => path.join(folder, name);
  run('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-days', '2',
    '-subj', '/CN=Kestrovan test sites CA', '-addext', 'basicConstraints=critical,CA:TRUE',
    '-addext', 'keyUsage=critical,keyCertSign', '-keyout', file('sites-ca.key'), '-out', file('sites-ca.pem')]);
  fs.writeFileSync(file('site.ext'), `subjectAltName=${SITES.map((s) => `DNS:${s}`).join(',')}\n`
    + 'extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n');
  run('openssl', ['req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-subj', '/CN=test sites',
    '-keyout', file('site.key'), '-out', file('site.csr')]);
  run('openssl', ['x509', '-req', '-in', file('site.csr'), '-CA', file('sites-ca.pem'), '-CAkey', file('sites-ca.key'),
    '-CAcreateserial', '-days', '2', '-extfile', file('site.ext'), '-out', file('site.pem')]);
  return { ca: file('sites-ca.pem'), key: file('site.key'), cert: file('site.pem') };
}

const BLANK = '<!doctype html><meta charset="utf-8"><title>page</title><h1>page</h1>';
const FILES = new Map([
  ['/kestrovan.js', [path.join(repo, 'clients', 'js', 'kestrovan.js'), 'text/javascript; charset=utf-8']],
  ['/demo/', [path.join(repo, 'clients', 'demo', 'index.html'), 'text/html; charset=utf-8']],
  ['/demo/demo.js', [path.join(repo, 'clients', 'demo', 'demo.js'), 'text/javascript; charset=utf-8']],
  ['/demo/demo.css', [path.join(repo, 'clients', 'demo', 'demo.css'), 'text/css; charset=utf-8']],
  ['/demo/kestrovan.js', [path.join(repo, 'clients', 'js', 'kestrovan.js'), 'text/javascript; charset=utf-8']],
  ['/demo/helm.js', [path.join(repo, 'clients', 'js', 'helm.js'), 'text/javascript; charset=utf-8']],
]);

// Serves the page library, the demo page under /demo/ and a blank page
// everywhere else, for every site, on a free loopback port. Resolves with
// { port, close() }.
export function startSiteServer(certificates) {
  const server = https.createServer({ key: fs.readFileSync(certificates.key), cert: fs.readFileSync(certificates.cert) },
    (req, res) => {
      const entry = FILES.get(req.url.split('?')[0]);
      if (!entry) {
        res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store' }).end(BLANK);
        return;
      }
      res.writeHead(200, { 'Content-Type': entry[1], 'Cache-Control': 'no-store' }).end(fs.readFileSync(entry[0]));
    });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve({
      port: server.address().port,
      close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
    }));
  });
}

// A Firefox profile registered in HOME's profiles.ini, as Firefox itself
// makes one, with an empty NSS database: provisioning finds it there.
export function makeProfile(home, name = 'kestrovan.test') {
  const root = path.join(home, '.mozilla', 'firefox');
  const profile = path.join(root, name);
  fs.mkdirSync(profile, { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(root, 'profiles.ini'),
    `[Profile0]\nName=test\nIsRelative=1\nPath=${name}\nDefault=1\n\n[General]\nStartWithLastProfile=1\nVersion=2\n`);
  run('certutil', ['-N', '-d', `sql:${profile}`, '--empty-password']);
  return profile;
}

// Trusts a CA for web sites in the profile's NSS database.
export function trustInProfile(profile, nickname, caFile) {
  run('certutil', ['-A', '-d', `sql:${profile}`, '-n', nickname, '-t', 'C,,', '-i', caFile]);
}

// The nicknames of the certificates in the profile's database.
export function profileCertificates(profile) {
  return run('certutil', ['-L', '-d', `sql:${profile}`]);
}

// prefs: more Firefox preferences for this launch.
export function launchFirefox({ home, profile, sitePort, prefs = {} }) {
  const local = [...SITES, DUMMY].join(',');
  return puppeteer.launch({
    browser: 'firefox',
    executablePath: FIREFOX,
    headless: true,
    userDataDir: profile,
    env: { ...process.env, HOME: home, MOZ_DISABLE_NONLOCAL_CONNECTIONS: '1' },
    extraPrefsFirefox: {
      'network.dns.localDomains': local,
      'network.socket.forcePort': `443=${sitePort}`,
      'network.lna.address_space.public.override': `127.0.0.1:${sitePort}`,
      'network.proxy.type': 1,
      'network.proxy.http': '127.0.0.1',
      'network.proxy.http_port': 9,
      'network.proxy.ssl': '127.0.0.1',
      'network.proxy.ssl_port': 9,
      'network.proxy.no_proxies_on': local,
      'services.settings.server': `${DEAD}/dummy/blocklist/`,
      'datareporting.healthreport.documentServerURI': `${DEAD}/dummy/healthreport/`,
      'extensions.webservice.discoverURL': `${DEAD}/dummy/discoveryURL`,
      'network.sntp.pools': '',
      ...prefs,
    },
  });
}

// A browser context whose pages of site have the loopback-network
// permission in state ('granted', 'denied', or null: not answered).
export async function siteContext(browser, site, state) {
  const context = await browser.createBrowserContext();
  if (state) {
    await context.setPermission(`https://${site}`, { permission: { name: 'loopback-network' }, state });
  }
  return context;
}
