// SPDX-License-Identifier: Apache-2.0
// harness.mjs -- the real NORTAKestrovan for node and browser tests: an
// installation in a temporary folder (the executable with the recording test
// adapter standing in as NORTA/HelmPKICryptAdapter), a HOME provisioned by
// the real provisioning command, and the service as a child process whose
// console is collected.
//
// with-service.mjs makes the installation and runs the tests with
// KESTROVAN_TEST_ROOT naming it and NODE_EXTRA_CA_CERTS trusting its CA;
// startService() then starts (and stop() ends) the service from there.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import os from 'node:os';

const READY_LINE = 'NORTAKestrovan initialization: Success';

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set: run these tests through ctest (tests/js/with-service.mjs)`);
  return value;
}

// Child environment: HOME replaced, the service's known library leaks
// suppressed in sanitizer builds.
export function childEnv(home, extra = {}) {
  const env = { ...process.env, HOME: home, ...extra };
  delete env.NODE_EXTRA_CA_CERTS;
  // Per-user configuration (the PKI adapter's allow-list) under HOME only.
  delete env.XDG_CONFIG_HOME;
  const suppressions = process.env.KESTROVAN_LSAN_SUPPRESSIONS;
  if (suppressions && fs.existsSync(suppressions)) {
    env.LSAN_OPTIONS = `${env.LSAN_OPTIONS ? `${env.LSAN_OPTIONS}:` : ''}suppressions=${suppressions}`;
  }
  return env;
}

// Lays out root/bin (executable + adapter) and root/home, and provisions
// home. nss also imports the local CA into home/.pki/nssdb. The adapter is
// the recording test adapter unless another library is named.
export function makeInstallation(root, { nss = true, adapter = required('KESTROVAN_TEST_ADAPTER') } = {}) {
  const exe = required('KESTROVAN_SERVICE_EXE');
  const bin = path.join(root, 'bin');
  const home = path.join(root, 'home');
  fs.mkdirSync(path.join(bin, 'NORTA'), { recursive: true, mode: 0o700 });
  fs.mkdirSync(home, { mode: 0o700 });
  fs.copyFileSync(exe, path.join(bin, 'NORTAKestrovan'));
  fs.chmodSync(path.join(bin, 'NORTAKestrovan'), 0o700);
  fs.copyFileSync(adapter, path.join(bin, 'NORTA', 'HelmPKICryptAdapter.so'));
  provisionHome(home, { nss });
  return { root, bin, home, caFile: path.join(home, 'NORTAKestrovan', 'ca.pem') };
}

export function provisionHome(home, { nss = true } = {}) {
  const provision = required('KESTROVAN_PROVISION_EXE');
  const result = spawnSync(provision, nss ? ['--nss'] : [], { env: childEnv(home), encoding: 'utf8' });
  if (result.status !== 0) {
    throw new Error(`provisioning failed (status ${result.status}):\n${result.stdout}${result.stderr}`);
  }
  if (nss && !fs.existsSync(path.join(home, '.pki', 'nssdb'))) {
    throw new Error(`provisioning with --nss made no NSS database:\n${result.stdout}${result.stderr}`);
  }
  return result.stdout;
}

// Lets origin use the bundled PKI adapter: its allow-list under home.
export function allowOrigin(home, origin) {
  const folder = path.join(home, '.config', 'kestrovan', 'helm');
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 });
  fs.chmodSync(path.join(home, '.config', 'kestrovan'), 0o700);
  fs.chmodSync(folder, 0o700);
  fs.appendFileSync(path.join(folder, 'allowed-origins'), `${origin}\n`, { mode: 0o600 });
}

// The PKI adapter's settings file of the installation (helm.conf), 0600.
export function helmSettings(home, text) {
  const folder = path.join(home, '.config', 'kestrovan', 'helm');
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 });
  fs.writeFileSync(path.join(folder, 'helm.conf'), text, { mode: 0o600 });
}

export function testRoot() {
  const root = required('KESTROVAN_TEST_ROOT');
  return { root, bin: path.join(root, 'bin'), home: path.join(root, 'home'),
    caFile: path.join(root, 'home', 'NORTAKestrovan', 'ca.pem') };
}

const stripColours = (text) => text.replace(/\x1b\[[0-9;]*[A-Za-z]/g, '');

export const SERVICE_PORTS = [56459, 56559, 56659];

function listening(port, host) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// ctest's "ports" lock keeps the tests of one run apart; another run on the
// same machine (a second build tree) may still hold the ports for a while.
// Waits until nothing listens on them, or fails naming the ports.
export async function waitForFreePorts(ports = SERVICE_PORTS, ms = 300000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const busy = [];
    for (const port of ports) {
      for (const host of ['127.0.0.1', '::1']) if (await listening(port, host)) busy.push(`${host} ${port}`);
    }
    if (busy.length === 0) return;
    if (Date.now() > deadline) throw new Error(`the service ports are still taken after ${ms} ms: ${busy.join(', ')}`);
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
}

// Starts the service of the installation; resolves once it reports that it
// is ready. The returned handle reads its console and stops it.
export async function startService(installation = testRoot(), options = {}) {
  const deadline = Date.now() + 300000;
  for (;;) {
    await waitForFreePorts(options.freePorts ?? SERVICE_PORTS);
    try {
      const service = await startOnce(installation, options);
      const everyPort = !options.freePorts;
      if (!everyPort || service.count('launch state: Success') === 2 * SERVICE_PORTS.length) return service;
      await service.stop();
      if (Date.now() > deadline) throw new Error(`the service could not take every port:\n${service.output()}`);
    } catch (error) {
      // Another build tree's test took the ports between the check and the
      // bind: wait for them again.
      if (!error.portsTaken || Date.now() > deadline) throw error;
    }
  }
}

async function startOnce(installation, { readyMs = 60000 } = {}) {
  const adapterLog = path.join(installation.root, 'adapter.log');
  fs.rmSync(adapterLog, { force: true });
  const child = spawn(path.join(installation.bin, 'NORTAKestrovan'), [], {
    cwd: installation.bin,
    env: childEnv(installation.home, { KESTROVAN_TEST_ADAPTER_LOG: adapterLog }),
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  let exited = null;
  const waiters = new Set();
  const changed = () => { for (const w of waiters) w(); };
  const collect = (chunk) => { output += stripColours(chunk.toString('utf8')); changed(); };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  const exitPromise = new Promise((resolve) => {
    child.on('exit', (code, signal) => { exited = { code, signal }; changed(); resolve(exited); });
  });

  const count = (text) => output.split(text).length - 1;
  // Resolves once text has appeared times times; rejects on timeout or exit.
  const waitFor = (text, ms = 15000, times = 1) => new Promise((resolve, reject) => {
    const check = () => {
      if (count(text) >= times) { done(); resolve(); return true; }
      if (exited) { done(); reject(new Error(`service exited (${JSON.stringify(exited)}) before "${text}":\n${output}`)); return true; }
      return false;
    };
    const timer = setTimeout(() => { done(); reject(new Error(`no "${text}" within ${ms} ms:\n${output.slice(-4000)}`)); }, ms);
    const done = () => { clearTimeout(timer); waiters.delete(check); };
    if (!check()) waiters.add(check);
  });

  const handle = {
    child,
    installation,
    output: () => output,
    count,
    waitFor,
    adapterLog: () => (fs.existsSync(adapterLog) ? fs.readFileSync(adapterLog, 'utf8') : ''),
    // SIGTERM, then the exit status; a service that does not stop within
    // 30 s is killed and reported.
    async stop() {
      if (!exited) child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), 30000);
      const result = await exitPromise;
      clearTimeout(timer);
      return result;
    },
  };
  try {
    await waitFor(READY_LINE, readyMs);
  } catch (error) {
    if (!exited) child.kill('SIGKILL');
    await exitPromise;
    error.portsTaken = /Address already in use/.test(output) && !/launch state: Success/.test(output);
    throw error;
  }
  return handle;
}

export function tempFolder(prefix = 'kestrovan-js-') {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// A fetch that adds the Origin header a browser would send (node's fetch
// sends none, and the service needs an origin).
export function fetchWithOrigin(origin) {
  return (url, init = {}) => fetch(url, { ...init, headers: { ...(init.headers || {}), Origin: origin } });
}
