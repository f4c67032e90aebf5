// SPDX-License-Identifier: Apache-2.0
// The page library against the real running service (node's own fetch, the
// service's certificate trusted through the provisioned local CA).
// Run through with-service.mjs; the recording test adapter stands in as the
// bundled adapter: "EchoText" answers its "text", other names "ok:<name>",
// "delay_ms" makes a call take that long.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createDecipheriv } from 'node:crypto';

import {
  KestrovanClient, KestrovanError, encrypted, hidden, base64, SHARE_IV, SEAL_MARKER,
} from '../../clients/js/kestrovan.js';
import { startService, fetchWithOrigin } from './harness.mjs';

const ORIGIN = 'https://app.test';
let service;
let client;

before(async () => {
  service = await startService();
  client = new KestrovanClient({ fetch: fetchWithOrigin(ORIGIN) });
});

after(async () => {
  if (!service) return;
  const exit = await service.stop();
  assert.deepEqual(exit, { code: 0, signal: null }, `the service stops cleanly:\n${service.output().slice(-3000)}`);
});

const isKind = (kind, code) => (e) => {
  assert.ok(e instanceof KestrovanError, `expected a KestrovanError, got ${e}`);
  assert.equal(e.kind, kind, e.message);
  if (code !== undefined) assert.equal(e.code, code);
  return true;
};

test('finds the service, opens a session with the versions, unlocks the adapter for the page origin', async () => {
  assert.equal(await client.locate(), 'https://127.0.0.1:56459');
  const session = await client.openSession();
  assert.match(session.id, /^[0-9A-Z]{8}_SID$/);
  assert.equal(session.serverVersion, '3.0.23.0721');
  assert.equal(session.libVersion, '1.0.0.5');
  assert.equal(session.installerVersion, undefined);
  assert.match(service.adapterLog(), new RegExp(`enter\\tKestrovan_Unlock\\t${ORIGIN}\\n`));
  assert.deepEqual(await session.echo(), { serverVersion: '3.0.23.0721', libVersion: '1.0.0.5', installerVersion: undefined });
  assert.equal(await session.call('Anything'), 'ok:Anything');
  await session.close();
  assert.equal(session.closed, true);
  // The service let it go: the identifier is unknown now.
  const answer = await client.send('Anything', {}, { sessionId: session.id });
  assert.deepEqual(answer, { result: '61001' });
});

test('texts reach the adapter and come back unchanged', async () => {
  const session = await client.openSession();
  const texts = [
    'Καλημέρα κόσμε',
    'Привет, мир',
    'emoji 🔐🙂👍🏽 𝄞',
    'quotes " and \'single\', slash / and %2B %2F %3D + = & ;',
    'lines\nand\r\ncontrol \t \x0e \x0f \x1b',
    '"MainThread":true',
    'x'.repeat(8000),
  ];
  for (const text of texts) {
    assert.equal(await session.call('EchoText', { text }), text, JSON.stringify(text.slice(0, 40)));
  }
  await session.forceRelease();
});

test('values needing a flag, Base64 values and encrypted values are opened by the service', async () => {
  const session = await client.openSession();
  const cases = [
    ['plain', 'Ωmega ✓'],
    ['backslash', 'C:\\Users\\Ωmega\\file.txt'],
    ['control', 'bell\x07 and form feed\x0c'],
    ['base64', base64('Привет, мир 🔐')],
    ['encrypted', encrypted('κρυφό: secret 🔑')],
    ['encrypted-hidden', encrypted('1234', { hide: true })],
    ['hidden', hidden('not in the log')],
  ];
  // One channel, stored again for each case: a site holds at most four
  // live values.
  for (const [name, value] of cases) {
    await session.setValue('encodings', value, { domains: 'app.test' });
    const expected = typeof value === 'string' ? value : value.value;
    assert.equal(await session.getValue('encodings'), expected, name);
  }
  // Hidden values stay out of the console; the others are shown.
  const console = service.output();
  assert.ok(!console.includes('not in the log'), 'hidden value masked');
  assert.ok(console.includes('Ωmega ✓'), 'plain values are traced');
  await session.forceRelease();
});

test('an encrypted parameter reaches the adapter as the cipher text its flag and secret open', async () => {
  const session = await client.openSession();
  const secret = 'A'.repeat(16) + 'b'.repeat(16);
  const hex = await session.call('EchoText', { text: encrypted('Τ secret') }, { secret });
  assert.match(hex, /^[0-9a-f]+$/);
  const decipher = createDecipheriv('aes-256-cbc', Buffer.from(secret).subarray(0, 32), Buffer.from(SHARE_IV));
  const plain = Buffer.concat([decipher.update(Buffer.from(hex, 'hex')), decipher.final()]);
  assert.deepEqual(plain, Buffer.from(`${SEAL_MARKER}Τ secret\0`));
  // The adapter's parameter read opens it: "<result> <encoding> <hex>",
  // result 0 (read), encoding 1 (encrypted).
  const read = await session.call('ReadParam', { name: 'text', text: encrypted('Τ secret 🔑') }, { secret });
  assert.equal(read, `0 1 ${Buffer.from('Τ secret 🔑').toString('hex')}`);
  // A secret that does not open it leaves the value undecodable (2), never
  // the cipher text passed off as the value.
  const wrong = await client.send('ReadParam', {
    name: 'text', text: hex, text_KestrovanEncryptFlag: 'true', Kestrovan_share_secret: 'B'.repeat(32),
  }, { sessionId: session.id });
  assert.equal(wrong.result, '2 1 ');
  await session.forceRelease();
});

test('the value store answers and takes new values only from the origins of the domain list', async () => {
  const owner = await client.openSession();
  const reader = await new KestrovanClient({ fetch: fetchWithOrigin('https://www.partner.example:8443') }).openSession();
  const other = await new KestrovanClient({ fetch: fetchWithOrigin('https://evil.example') }).openSession();
  await owner.setValue('shared', 'for partners', { domains: ['app.test', '*.partner.example'], timeoutMinutes: 5 });
  assert.equal(await owner.getValue('shared'), 'for partners');
  assert.equal(await reader.getValue('shared'), 'for partners');
  assert.equal(await other.getValue('shared'), '');
  // Another site cannot replace it; a partner on the list can.
  await assert.rejects(other.setValue('shared', 'mine now', { domains: 'evil.example' }), isKind('ValueChannelTaken', 61021));
  assert.equal(await owner.getValue('shared'), 'for partners');
  await reader.setValue('shared', 'from a partner', { domains: ['app.test', '*.partner.example'], timeoutMinutes: 5 });
  assert.equal(await owner.getValue('shared'), 'from a partner');
  assert.equal(await owner.getValue('never-stored'), '');
  for (const s of [owner, reader, other]) await s.forceRelease();
});

test('service result codes arrive as named errors', async () => {
  await assert.rejects(client.openSession({ minServerVersion: '3.0.23.0722' }), isKind('ServerVersionTooOld', 61203));
  await assert.rejects(client.openSession({ minServerVersion: '3.0.23' }), isKind('ServerVersionTooOld', 61203));
  await assert.rejects(client.openSession({ minLibVersion: '1.0.0.6' }), isKind('AdapterVersionTooOld', 61204));
  await assert.rejects(client.openSession({ libDir: 'NORTA', comName: 'Other' }), isKind('AdapterLocationRejected', 61009));
  await assert.rejects(client.openSession({ pathId: 'unknown', libDir: '..', comName: 'x' }), isKind('AdapterLocationRejected', 61009));
  await assert.rejects(client.openSession({ pathId: 'unknown', libDir: 'NORTA', comName: 'Missing' }), isKind('AdapterLoadFailed', 61902));
  const ok = await client.openSession({ minServerVersion: '3.0.23.0721', minLibVersion: '1.0.0.5' });
  await ok.forceRelease();
  await assert.rejects(ok.call('Anything'), isKind('SessionClosed'));
});

test('a page without an origin is refused with OriginRejected', async () => {
  // node's fetch sends no Origin and no Referer, as a page never would.
  const bare = new KestrovanClient();
  await assert.rejects(bare.openSession(), isKind('OriginRejected', 61012));
});

test('browser mode survives close; force release ends it', async () => {
  const session = await client.openSession({ browserMode: true });
  await session.close();
  assert.equal(session.closed, false);
  assert.match(service.output(), /\[Browser mode\] Skip release process/);
  assert.equal(await session.call('StillThere'), 'ok:StillThere');
  await session.forceRelease();
  assert.equal(session.closed, true);
  assert.deepEqual(await client.send('Anything', {}, { sessionId: session.id }), { result: '61001' });
});

test('a main-thread call that outlives a heartbeat returns its result', async () => {
  const session = await client.openSession();
  const beats = [];
  const before = service.count('No result from component yet send heartbeat');
  const result = await session.call('Slow', { delay_ms: '8500' }, { mainThread: true, onHeartbeat: (n) => beats.push(n) });
  assert.equal(result, 'ok:Slow');
  assert.ok(beats.length >= 1, 'at least one heartbeat');
  assert.ok(service.count('No result from component yet send heartbeat') >= before + 1);
  assert.ok(service.count('Main thread mode call start') >= 1);
  await session.forceRelease();
});

test('a main-thread call given up on does not leak its result into the next one', async () => {
  const session = await client.openSession();
  await assert.rejects(session.call('Abandoned', { delay_ms: '8000' }, { mainThread: true, timeoutMs: 1500 }), isKind('Timeout'));
  assert.equal(await session.call('Next', {}, { mainThread: true }), 'ok:Next');
  assert.equal(await session.call('Plain'), 'ok:Plain');
  await session.forceRelease();
});

test('a slow and a fast main-thread call started together each get their own result, and the slow one runs once', async () => {
  const session = await client.openSession();
  const beats = [];
  const [slow, fast] = await Promise.all([
    session.call('SlowOnce', { delay_ms: '8500' }, { mainThread: true, onHeartbeat: (n) => beats.push(n) }),
    session.call('FastOnce', {}, { mainThread: true }),
  ]);
  assert.deepEqual([slow, fast], ['ok:SlowOnce', 'ok:FastOnce']);
  assert.ok(beats.length >= 1, 'the slow call outlived a heartbeat');
  const entered = (name) => service.adapterLog().split('\n').filter((line) => line.split('\t')[1] === 'enter'
    && line.split('\t')[2] === name).length;
  assert.equal(entered('SlowOnce'), 1);
  assert.equal(entered('FastOnce'), 1);
  await session.forceRelease();
});

test('two tabs of one site: a main-thread call one tab gave up on neither reaches nor holds up the other tab', async () => {
  // Two clients, each with a session of its own, as two tabs of one page would have.
  const tab1 = await new KestrovanClient({ fetch: fetchWithOrigin(ORIGIN) }).openSession();
  const tab2 = await new KestrovanClient({ fetch: fetchWithOrigin(ORIGIN) }).openSession();
  await assert.rejects(tab1.call('LeftBehind', { delay_ms: '3000' }, { mainThread: true, timeoutMs: 1000 }), isKind('Timeout'));
  const deadline = Date.now() + 20000;
  while (!/\tleave\tLeftBehind\n/.test(service.adapterLog()) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.match(service.adapterLog(), /\tleave\tLeftBehind\n/);
  // Its result waits in the service for a caller that never comes back.
  const beats = [];
  assert.equal(await tab2.call('EchoText', { text: 'tab2-document' }, { mainThread: true, onHeartbeat: (n) => beats.push(n) }),
    'tab2-document');
  assert.deepEqual(beats, [], 'answered without a heartbeat');
  const entered = (name) => service.adapterLog().split('\n').filter((line) => line.split('\t')[1] === 'enter'
    && line.split('\t')[2] === name).length;
  assert.equal(entered('LeftBehind'), 1);
  await tab1.forceRelease();
  await tab2.forceRelease();
});

test('while an adapter call holds the service longer than the probe time, a new page still finds it', async () => {
  const busy = await client.openSession();
  const long = busy.call('HoldsTheService', { delay_ms: '8000' });
  // Wait until the adapter has the call, so the service is busy for 8 s.
  const deadline = Date.now() + 5000;
  while (!/\tenter\tHoldsTheService\t/.test(service.adapterLog()) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.match(service.adapterLog(), /\tenter\tHoldsTheService\t/);
  // One address only: the busy service there must not be taken for none.
  const fresh = new KestrovanClient({ fetch: fetchWithOrigin('https://other.test'), hosts: ['127.0.0.1'], ports: [56459] });
  const session = await fresh.openSession();
  assert.equal(fresh.serviceUrl, 'https://127.0.0.1:56459');
  assert.equal(await long, 'ok:HoldsTheService');
  assert.equal(await session.call('AfterIt'), 'ok:AfterIt');
  await session.forceRelease();
  await busy.forceRelease();
});
