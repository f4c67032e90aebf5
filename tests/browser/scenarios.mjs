// SPDX-License-Identifier: Apache-2.0
// scenarios.mjs -- the page side of what both browser suites run: a
// function each driver evaluates in a page to import the library and run a
// body, and the bodies the suites share. Playwright and puppeteer both pass
// the one argument [body, arg] through.
import assert from 'node:assert/strict';

// Runs body(kestrovan, arg) in the page with /kestrovan.js imported;
// failures come back as { error: { name, kind, code, message, permissionState } }.
export async function runInPage([source, value]) {
  const kestrovan = await import('/kestrovan.js');
  // eslint-disable-next-line no-new-func
  const run = new Function('kestrovan', 'arg', `return (async () => { ${source} })();`);
  try {
    return { value: await run(kestrovan, value) };
  } catch (e) {
    return { error: { name: e.name, kind: e.kind, code: e.code, message: e.message, permissionState: e.permissionState } };
  }
}

export function ok(outcome) {
  assert.equal(outcome.error, undefined, outcome.error && `${outcome.error.kind}: ${outcome.error.message}`);
  return outcome.value;
}

// Opens a session, calls the recording adapter's Hello and closes.
export const OPEN_CALL_CLOSE = `
  const client = kestrovan.createClient();
  const session = await client.openSession();
  const answer = await session.call('Hello', { who: arg });
  await session.close();
  return { url: client.serviceUrl, id: session.id, server: session.serverVersion, lib: session.libVersion,
           answer, closed: session.closed };
`;

export function checkOpenCallClose(result) {
  assert.equal(result.url, 'https://127.0.0.1:56459');
  assert.match(result.id, /^[0-9A-Z]{8}_SID$/);
  assert.equal(result.server, '3.0.23.0721');
  assert.equal(result.lib, '1.0.0.5');
  assert.equal(result.answer, 'ok:Hello');
  assert.equal(result.closed, true);
}

// A main-thread call that outlives one heartbeat: { answer, beats }.
export const MAIN_THREAD_CALL = `
  const session = await kestrovan.createClient().openSession();
  let beats = 0;
  const answer = await session.call('Slow', { delay_ms: '8500' },
    { mainThread: true, onHeartbeat: (n) => { beats = n; } });
  await session.forceRelease();
  return { answer, beats };
`;

export function checkMainThreadCall(result) {
  assert.equal(result.answer, 'ok:Slow');
  assert.ok(result.beats >= 1, `heartbeats: ${result.beats}`);
}

// The value store across origins: the first page stores a value for its
// own domain and *.partner.example, the others read it.
export const PARTNER_SITES = ['shop.example', 'www.partner.example', 'evil.example'];
export const STORE_BASKET = `
  const session = await kestrovan.createClient().openSession();
  await session.setValue('basket', arg, { domains: ['shop.example', '*.partner.example'], timeoutMinutes: 5 });
  await session.forceRelease();
`;
export const READ_BASKET = `
  const session = await kestrovan.createClient().openSession();
  const value = await session.getValue('basket');
  await session.forceRelease();
  return value;
`;
