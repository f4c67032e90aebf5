// SPDX-License-Identifier: Apache-2.0
// browser-harness.mjs -- what the browser tests share: Debian's Chromium
// launched through playwright-core (never a downloaded browser), kept on
// this machine, trusting what the NSS database under the given HOME trusts;
// and the demo page's server on a free loopback port.
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const CHROMIUM = '/usr/bin/chromium';
const ARGS = [
  '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
  // Every name fails except loopback.
  '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE localhost, EXCLUDE 127.0.0.1, EXCLUDE ::1',
];

export function launch(home) {
  return chromium.launch({ executablePath: CHROMIUM, args: ARGS, env: { ...process.env, HOME: home } });
}

// Resolves with { child, url, origin } once the demo server listens; args
// are more of its options (--trust-anchors FILE).
export function startDemo(args = []) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(repo, 'clients', 'demo', 'server.mjs'), '--port', '0', ...args],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /Demo page: (http:\/\/\S+)/.exec(out);
      if (match) resolve({ child, url: match[1], origin: new URL(match[1]).origin });
    });
    child.on('exit', (code) => reject(new Error(`demo server exited with ${code}: ${out}`)));
  });
}
