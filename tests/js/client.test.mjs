// SPDX-License-Identifier: Apache-2.0
// The client's own logic -- discovery order, the heartbeat loop and its call
// identifiers, deadlines, cancellation, error diagnosis --
// against a small stand-in HTTP endpoint and a scripted fetch. Behaviour
// with the real service is in service.test.mjs.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';

import { KestrovanClient, KestrovanError } from '../../clients/js/kestrovan.js';

function answerText(map) {
  const parts = Object.entries(map).map(([k, v]) => `"${k}": "${Buffer.from(v, 'utf8').toString('base64')}"`);
  return `{${parts.join(', ')}}`;
}

function requestOf(body) {
  const parameter = new URLSearchParams(body).get('Parameter');
  return JSON.parse(Buffer.from(parameter, 'base64').toString('utf8'));
}

// A stand-in endpoint: reply(request, index) gives { delayMs, map } or
// { destroy: true }. Records every request (decoded) and its raw form.
async function standIn(reply) {
  const seen = [];
  const timers = new Set();
  const server = http.createServer((req, res) => {
    let body = '';
    req.on('data', (c) => { body += c; });
    req.on('end', () => {
      const request = requestOf(body);
      seen.push({ request, body, contentType: req.headers['content-type'], method: req.method });
      const r = reply(request, seen.length - 1);
      const send = () => {
        if (r.destroy) { req.socket.destroy(); return; }
        res.writeHead(200);
        res.end(answerText(r.map));
      };
      if (r.delayMs) {
        const timer = setTimeout(() => { timers.delete(timer); send(); }, r.delayMs);
        timers.add(timer);
      } else {
        send();
      }
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const url = `http://127.0.0.1:${server.address().port}`;
  return {
    url, seen,
    close: () => new Promise((resolve) => {
      for (const timer of timers) clearTimeout(timer);
      server.closeAllConnections();
      server.close(resolve);
    }),
  };
}

const session = { SessionID: 'ABCDEFGH_SID', ServerVersion: '3.0.23.0721', LibVersion: '1.0.0.5', result: '0' };

test('a main-thread call re-sends while the answer is "heartbeat" and returns the result', async (t) => {
  const server = await standIn((request, i) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    return { delayMs: 20, map: { result: i < 3 ? 'heartbeat' : 'done:Ω' } };
  });
  t.after(server.close);
  const client = new KestrovanClient({ serviceUrl: server.url });
  const s = await client.openSession();
  const beats = [];
  const result = await s.call('Slow', { x: '1' }, { mainThread: true, onHeartbeat: (n) => beats.push(n) });
  assert.equal(result, 'done:Ω');
  assert.deepEqual(beats, [1, 2]);
  const calls = server.seen.slice(1);
  assert.equal(calls.length, 3);
  const callId = calls[0].request.KestrovanCallId;
  assert.match(callId, /^[A-Za-z0-9_-]{32}$/);
  for (const c of calls) {
    assert.equal(c.method, 'POST');
    assert.match(c.contentType, /^application\/x-www-form-urlencoded/);
    assert.equal(c.body, calls[0].body, 'the same request, call identifier included, is re-sent');
    assert.deepEqual(c.request,
      { FunctionName: 'Slow', SessionId: 'ABCDEFGH_SID', x: '1', KestrovanMainThread: true, KestrovanCallId: callId });
  }
  assert.ok(calls[0].body.startsWith('Parameter='));
});

test('a plain call returns "heartbeat" as text: only main-thread calls loop', async (t) => {
  const server = await standIn((request) => (request.FunctionName === 'KestrovanEcho' ? { map: session } : { map: { result: 'heartbeat' } }));
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  assert.equal(await s.call('F'), 'heartbeat');
  assert.equal(server.seen.length, 2);
  assert.equal('KestrovanMainThread' in server.seen[1].request, false);
  assert.equal('KestrovanCallId' in server.seen[1].request, false);
});

test('the deadline ends the loop with a Timeout; the next main-thread call goes straight out under a new identifier', async (t) => {
  const server = await standIn((request) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    if (request.FunctionName === 'Slow') return { delayMs: 60, map: { result: 'heartbeat' } };
    return { map: { result: `fresh:${request.FunctionName}` } };
  });
  t.after(server.close);
  const client = new KestrovanClient({ serviceUrl: server.url });
  const s = await client.openSession();
  await assert.rejects(s.call('Slow', {}, { mainThread: true, timeoutMs: 250 }),
    (e) => e instanceof KestrovanError && e.kind === 'Timeout');
  const before = server.seen.length;
  assert.equal(await s.call('Next', {}, { mainThread: true }), 'fresh:Next');
  // The last Slow request, cut off by the deadline, may reach the stand-in
  // late; nothing else goes before Next.
  const after = server.seen.slice(before).map((x) => x.request).filter((r) => r.FunctionName !== 'Slow');
  assert.deepEqual(after.map((r) => r.FunctionName), ['Next']);
  const slowIds = new Set(server.seen.filter((x) => x.request.FunctionName === 'Slow').map((x) => x.request.KestrovanCallId));
  assert.equal(slowIds.size, 1, 'one identifier across the given-up call\'s re-sends');
  assert.equal(slowIds.has(after[0].KestrovanCallId), false);
});

test('an AbortSignal cancels the call in flight with the caller\'s reason', async (t) => {
  const server = await standIn((request) => (request.FunctionName === 'KestrovanEcho' ? { map: session }
    : { delayMs: 5000, map: { result: 'too late' } }));
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  const controller = new AbortController();
  const reason = new Error('user pressed cancel');
  setTimeout(() => controller.abort(reason), 50);
  await assert.rejects(s.call('F', {}, { mainThread: true, signal: controller.signal }), (e) => e === reason);
  // Already aborted: nothing is sent.
  const done = new AbortController();
  done.abort();
  await assert.rejects(s.call('G', {}, { signal: done.signal }), (e) => e.name === 'AbortError');
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.equal(server.seen.filter((x) => x.request.FunctionName === 'G').length, 0);
});

test('a cancelled heartbeat loop stops between two requests', async (t) => {
  const controller = new AbortController();
  const server = await standIn((request, i) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    if (i === 2) controller.abort(new Error('stop'));
    return { map: { result: 'heartbeat' } };
  });
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  await assert.rejects(s.call('F', {}, { mainThread: true, signal: controller.signal }), /stop/);
  assert.equal(server.seen.length, 3);
});

test('a plain call also honours the deadline', async (t) => {
  const server = await standIn((request) => (request.FunctionName === 'KestrovanEcho' ? { map: session }
    : { delayMs: 3000, map: { result: 'x' } }));
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url, timeoutMs: 100 }).openSession({ timeoutMs: 2000 });
  await assert.rejects(s.call('F'), (e) => e.kind === 'Timeout' && /100 ms/.test(e.message));
});

// A scripted fetch: handler(url, request) returns an answer map, or throws.
function scriptedFetch(handler) {
  const urls = [];
  const fetch = async (url, init) => {
    urls.push(url);
    if (init.signal && init.signal.aborted) throw init.signal.reason;
    const request = requestOf(init.body.toString());
    const map = await handler(url, request);
    return new Response(answerText(map), { status: 200 });
  };
  return { fetch, urls };
}

const refused = () => { throw new TypeError('fetch failed', { cause: Object.assign(new Error('connect ECONNREFUSED'), { code: 'ECONNREFUSED' }) }); };

test('discovery tries 127.0.0.1 then localhost, ports in order, and remembers the one that answered', async () => {
  const { fetch, urls } = scriptedFetch((url, request) => {
    if (url !== 'https://localhost:56559/') refused();
    if (request.FunctionName === 'KestrovanClose') return { SessionID: 'PROBE000_SID' };
    return session;
  });
  const client = new KestrovanClient({ fetch });
  assert.equal(await client.locate(), 'https://localhost:56559');
  assert.deepEqual(urls, [
    'https://127.0.0.1:56459/', 'https://127.0.0.1:56559/', 'https://127.0.0.1:56659/',
    'https://localhost:56459/', 'https://localhost:56559/',
  ]);
  await client.openSession();
  assert.equal(urls.length, 6, 'no second search');
  assert.equal(urls[5], 'https://localhost:56559/');
});

test('something that answers but is not the service is passed over', async () => {
  const { fetch } = scriptedFetch((url) => {
    if (url === 'https://127.0.0.1:56459/') return { hello: 'world' }; // no SessionID
    return { SessionID: 'PROBE000_SID' };
  });
  assert.equal(await new KestrovanClient({ fetch }).locate(), 'https://127.0.0.1:56559');
});

test('no service: the error says what to check, and names the permission and the certificate', async () => {
  const { fetch, urls } = scriptedFetch(refused);
  const client = new KestrovanClient({ fetch });
  await assert.rejects(client.openSession(), (e) => {
    assert.ok(e instanceof KestrovanError);
    assert.equal(e.kind, 'ServiceUnreachable');
    assert.equal(e.urls.length, 6);
    assert.match(e.message, /running/);
    assert.match(e.message, /apps and services on this device/);
    assert.match(e.message, /certificate/);
    assert.match(e.message, /NORTAKestrovanProvision --nss/);
    assert.match(e.message, /ECONNREFUSED/);
    return true;
  });
  assert.equal(urls.length, 6);
});

// What node reports when a connection is accepted and then closed before the
// TLS handshake ends: the service's answer to another user's programs.
const closedBeforeTls = () => {
  throw new TypeError('fetch failed', {
    cause: Object.assign(new Error('Client network socket disconnected before secure TLS connection was established'), { code: 'ECONNRESET' }),
  });
};

test('an address that closes the connection before TLS is named as maybe another user\'s service; refused ones are not', async () => {
  const { fetch } = scriptedFetch((url) => (url === 'https://127.0.0.1:56459/' ? closedBeforeTls() : refused()));
  await assert.rejects(new KestrovanClient({ fetch }).locate(), (e) => {
    assert.equal(e.kind, 'ServiceUnreachable');
    assert.match(e.message, /https:\/\/127\.0\.0\.1:56459 accepted the connection but closed it before the secure connection was set up/);
    assert.match(e.message, /most likely belongs to another user/);
    assert.doesNotMatch(e.message, /56559 accepted/);
    return true;
  });
  const { fetch: nothing } = scriptedFetch(refused);
  await assert.rejects(new KestrovanClient({ fetch: nothing }).locate(), (e) => !/another user/.test(e.message));
  // A browser's bare "Failed to fetch" says nothing either way.
  const { fetch: bare } = scriptedFetch(() => { throw new TypeError('Failed to fetch'); });
  await assert.rejects(new KestrovanClient({ fetch: bare }).locate(), (e) => !/another user/.test(e.message));
});

// The browser's navigator for one test: its permission query answers state
// for the local-network permission names.
function withPermission(t, state) {
  const saved = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  const permissions = { query: async ({ name }) => {
    if (name !== 'loopback-network') throw new TypeError(`'${name}' is not a valid permission name`);
    return { state };
  } };
  Object.defineProperty(globalThis, 'navigator', { value: { permissions }, configurable: true, writable: true });
  t.after(() => {
    if (saved) Object.defineProperty(globalThis, 'navigator', saved);
    else delete globalThis.navigator;
  });
}

const permissionCases = [
  { state: 'denied', says: [/blocks it now/, /"denied"/, /Allow "Access other apps and services on this device"/] },
  { state: 'granted', says: [/ask once/, /permission state now: granted/] },
  { state: 'prompt', says: [/ask once/, /permission state now: prompt/] },
];
for (const { state, says } of permissionCases) {
  test(`no service with the local-network permission ${state}: the error says so and what to allow`, async (t) => {
    withPermission(t, state);
    const { fetch } = scriptedFetch(refused);
    await assert.rejects(new KestrovanClient({ fetch }).openSession(), (e) => {
      assert.equal(e.kind, 'ServiceUnreachable');
      assert.equal(e.permissionState, state);
      for (const pattern of says) assert.match(e.message, pattern);
      assert.match(e.message, /certificate/);
      return true;
    });
  });
}

// A fetch that never settles until its signal aborts: the browser waiting
// for the user's answer, or a silent address.
const pending = async (url, init) => new Promise((resolve, reject) => {
  init.signal.addEventListener('abort', () => reject(init.signal.reason), { once: true });
});

test('a deadline that passes while the browser asks the user says the user must allow the site', async (t) => {
  withPermission(t, 'prompt');
  const client = new KestrovanClient({ fetch: pending, probeTimeoutMs: 10 });
  for (const attempt of [() => client.locate({ timeoutMs: 150 }), () => client.send('Anything', {}, { timeoutMs: 150 })]) {
    await assert.rejects(attempt(), (e) => {
      assert.equal(e.kind, 'Timeout');
      assert.equal(e.permissionState, 'prompt');
      assert.match(e.message, /within 150 ms/);
      assert.match(e.message, /still asking whether this site may access other apps and services on this device/);
      assert.match(e.message, /answer "Allow"/);
      return true;
    });
  }
});

test('a deadline that passes with the permission granted is a plain timeout', async (t) => {
  withPermission(t, 'granted');
  const client = new KestrovanClient({ fetch: pending, probeTimeoutMs: 10 });
  await assert.rejects(client.locate({ timeoutMs: 150 }), (e) => {
    assert.equal(e.kind, 'Timeout');
    assert.equal(e.message, 'The call did not finish within 150 ms.');
    assert.equal(e.permissionState, undefined);
    return true;
  });
});

test('a call the service drops is told apart from a service that went away', async () => {
  let serviceUp = true;
  const { fetch, urls } = scriptedFetch((url, request) => {
    if (!serviceUp) refused();
    if (request.FunctionName === 'KestrovanClose') return { SessionID: 'PROBE000_SID' };
    if (request.FunctionName === 'Drop') throw new TypeError('fetch failed');
    return session;
  });
  const client = new KestrovanClient({ fetch });
  const s = await client.openSession();
  await assert.rejects(s.call('Drop'), (e) => e.kind === 'NoAnswer' && e.cause instanceof TypeError);
  assert.equal(client.serviceUrl, 'https://127.0.0.1:56459', 'still known');
  serviceUp = false;
  await assert.rejects(s.call('Any'), (e) => e.kind === 'ServiceUnreachable');
  assert.equal(client.serviceUrl, null, 'forgotten, searched again next time');
  serviceUp = true;
  urls.length = 0;
  assert.equal(await s.call('Any'), '0');
  assert.equal(urls[0], 'https://127.0.0.1:56459/', 'a new search first');
});

test('result codes become errors; an unknown session closes the session object', async () => {
  const results = { A: '61500', B: 'ok', C: '61001', D: '0' };
  const { fetch } = scriptedFetch((url, request) => {
    if (request.FunctionName === 'KestrovanClose') return { SessionID: 'PROBE000_SID' };
    if (request.FunctionName === 'KestrovanEcho') return session;
    return { result: results[request.FunctionName] };
  });
  const s = await new KestrovanClient({ fetch }).openSession();
  await assert.rejects(s.call('A'), (e) => e.kind === 'AdapterError' && e.code === 61500);
  assert.equal(await s.call('A', {}, { raw: true }), '61500');
  assert.equal(await s.call('B'), 'ok');
  assert.equal(await s.call('D'), '0');
  await assert.rejects(s.call('C'), (e) => e.kind === 'UnknownSession');
  assert.equal(s.closed, true);
  await assert.rejects(s.call('B'), (e) => e.kind === 'SessionClosed');
});

test('opening: versions kept, failures named', async () => {
  const answers = [
    session,
    { result: '61203' },
    { result: '61204' },
    { result: '61009' },
    { result: '61902' },
    { SessionID: 'X_SID' }, // loaded, but no version: no result
    { result: 'origin not allowed' },
    { result: '61500' },
  ];
  let i = 0;
  const { fetch } = scriptedFetch((url, request) => {
    if (request.FunctionName === 'KestrovanClose') return { SessionID: 'PROBE000_SID' };
    return answers[i++];
  });
  const client = new KestrovanClient({ fetch });
  const s = await client.openSession({ installerName: 'Tool' });
  assert.deepEqual([s.id, s.serverVersion, s.libVersion, s.installerVersion], ['ABCDEFGH_SID', '3.0.23.0721', '1.0.0.5', undefined]);
  for (const kind of ['ServerVersionTooOld', 'AdapterVersionTooOld', 'AdapterLocationRejected', 'AdapterLoadFailed',
    'AdapterInitFailed', 'AdapterRefused', 'AdapterError']) {
    await assert.rejects(client.openSession(), (e) => e.kind === kind, kind);
  }
});

test('the echo request carries the path id, versions and browser mode', async () => {
  const sent = [];
  const { fetch } = scriptedFetch((url, request) => {
    sent.push(request);
    return request.FunctionName === 'KestrovanClose' ? { SessionID: 'P_SID' } : session;
  });
  const client = new KestrovanClient({ fetch });
  await client.openSession({ browserMode: true, minServerVersion: '3.0.0.0', minLibVersion: '1.0.0.0', installerName: 'Tool' });
  await client.openSession({ libDir: 'NORTA', comName: 'HelmPKICryptAdapter' });
  assert.deepEqual(sent[1], {
    FunctionName: 'KestrovanEcho', SessionId: '', InstallerName: 'Tool', minServerVersion: '3.0.0.0',
    minLibVersion: '1.0.0.0', KestrovanMode: '1', PathID: '7E41A0C2D95B4F3E8A61C07B2D9F54E1',
  });
  assert.deepEqual(sent[2], {
    FunctionName: 'KestrovanEcho', SessionId: '', InstallerName: '', minServerVersion: '0.0.0.0',
    minLibVersion: '', KestrovanMode: '0', LibDir: 'NORTA', ComName: 'HelmPKICryptAdapter',
  });
});

test('value store calls: keys, domain lists, timeouts, and their checks', async () => {
  const sent = [];
  const { fetch } = scriptedFetch((url, request) => {
    sent.push(request);
    if (request.FunctionName === 'KestrovanClose') return { SessionID: 'P_SID' };
    if (request.FunctionName === 'KestrovanEcho') return session;
    if (request.FunctionName === 'getKestrovanValue') return { result: request.channel === 'gone' ? '61001' : 'stored' };
    return { result: request.channel === 'full' ? '61019' : '0' };
  });
  const s = await new KestrovanClient({ fetch }).openSession();
  await s.setValue('ch', 'v', { domains: ['example.com', '*.example.org'], timeoutMinutes: 5 });
  assert.deepEqual(sent.at(-1), {
    FunctionName: 'setKestrovanValue', SessionId: 'ABCDEFGH_SID', channel: 'ch',
    domain_list: 'example.com;*.example.org', timeout: '5', value: 'v',
  });
  await s.setValue('ch', 'v', { domains: 'a.test' });
  assert.equal(sent.at(-1).timeout, '0');
  assert.equal(await s.getValue('ch'), 'stored');
  await assert.rejects(s.getValue('gone'), (e) => e.kind === 'ValueUnreadable');
  await assert.rejects(s.setValue('full', 'v'), (e) => e.kind === 'ValueStoreFull');
  const n = sent.length;
  await assert.rejects(s.setValue('ch', 'v', { timeoutMinutes: -1 }), RangeError);
  await assert.rejects(s.setValue('ch', 'v', { timeoutMinutes: 1.5 }), RangeError);
  await assert.rejects(s.setValue('ch', 'v', { timeoutMinutes: 35791395 }), RangeError);
  await assert.rejects(s.setValue('', 'v'), TypeError);
  await assert.rejects(s.getValue(undefined), TypeError);
  assert.equal(sent.length, n, 'refused before sending');
});

test('close keeps a browser-mode session; force release ends it', async () => {
  const sent = [];
  const { fetch } = scriptedFetch((url, request) => {
    sent.push(request.FunctionName);
    if (request.FunctionName === 'KestrovanClose' && request.SessionId === '') return { SessionID: 'P_SID' };
    if (request.FunctionName === 'KestrovanEcho') return session;
    return {};
  });
  const client = new KestrovanClient({ fetch });
  const browser = await client.openSession({ browserMode: true });
  await browser.close();
  assert.equal(browser.closed, false);
  await browser.forceRelease();
  assert.equal(browser.closed, true);
  const plain = await client.openSession();
  await plain.close();
  assert.equal(plain.closed, true);
  await plain.close(); // nothing sent
  assert.deepEqual(sent.slice(1), ['KestrovanEcho', 'KestrovanClose', 'KestrovanForceRelease', 'KestrovanEcho', 'KestrovanClose']);
});

// The service hands a main-thread result only to the request with its call
// identifier, so calls need not take turns: each goes out at once and keeps
// its own identifier across its heartbeats.
test('main-thread calls of one client go out at once, each with its own identifier kept across its heartbeats', async (t) => {
  const slowAnswers = ['heartbeat', 'heartbeat', 'slow done'];
  const server = await standIn((request) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    if (request.FunctionName === 'Slow') return { delayMs: 60, map: { result: slowAnswers.shift() } };
    if (request.FunctionName === 'GivenUp') return { delayMs: 200, map: { result: 'heartbeat' } };
    return { delayMs: 10, map: { result: `done:${request.FunctionName}` } };
  });
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  const slow = s.call('Slow', {}, { mainThread: true });
  const fast = s.call('Fast', {}, { mainThread: true });
  const late = s.call('GivenUp', {}, { mainThread: true, timeoutMs: 30 });
  const plain = s.call('Plain');
  const last = s.call('Last', {}, { mainThread: true });
  await assert.rejects(late, (e) => e.kind === 'Timeout');
  assert.deepEqual(await Promise.all([slow, fast, plain, last]), ['slow done', 'done:Fast', 'done:Plain', 'done:Last']);
  const sent = server.seen.slice(1).map((x) => x.request);
  // None waited for the slow call's heartbeats. (GivenUp's deadline may
  // pass before its request is out on a busy machine.)
  const lastSlow = sent.map((r) => r.FunctionName).lastIndexOf('Slow');
  for (const name of ['Fast', 'Plain', 'Last']) {
    const index = sent.findIndex((r) => r.FunctionName === name);
    assert.ok(index >= 0 && index < lastSlow, `${name} went out before Slow's last re-send`);
  }
  const ids = new Map();
  for (const r of sent.filter((x) => x.KestrovanMainThread)) {
    assert.match(r.KestrovanCallId, /^[A-Za-z0-9_-]{32}$/);
    if (!ids.has(r.FunctionName)) ids.set(r.FunctionName, r.KestrovanCallId);
    assert.equal(r.KestrovanCallId, ids.get(r.FunctionName), `${r.FunctionName} keeps its identifier`);
  }
  for (const name of ['Fast', 'Last', 'Slow']) assert.ok(ids.has(name), name);
  assert.equal(new Set(ids.values()).size, ids.size, 'every call has an identifier of its own');
  assert.equal(sent.filter((r) => r.FunctionName === 'Slow').length, 3);
});

test('two clients, as two tabs of one origin, take no lock and neither waits for the other\'s main-thread call', async (t) => {
  const requested = [];
  const locks = { request(name) { requested.push(name); return Promise.reject(new Error('no lock expected')); } };
  const saved = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  Object.defineProperty(globalThis, 'navigator', { value: { locks }, configurable: true, writable: true });
  t.after(() => {
    if (saved) Object.defineProperty(globalThis, 'navigator', saved);
    else delete globalThis.navigator;
  });
  const slowAnswers = ['heartbeat', 'heartbeat', 'slow done'];
  const server = await standIn((request) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    if (request.FunctionName === 'Slow') return { delayMs: 100, map: { result: slowAnswers.shift() } };
    if (request.FunctionName === 'GivenUp') return { delayMs: 60, map: { result: 'heartbeat' } };
    return { map: { result: `done:${request.FunctionName}` } };
  });
  t.after(server.close);
  const a = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  const b = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  const slow = a.call('Slow', {}, { mainThread: true });
  assert.equal(await b.call('Fast', {}, { mainThread: true }), 'done:Fast');
  assert.ok(slowAnswers.length > 0, 'the other tab\'s call answered while the slow one still ran');
  assert.equal(await slow, 'slow done');
  // A call one tab gave up on holds up nothing: the other tab's next call
  // is its only request.
  await assert.rejects(a.call('GivenUp', {}, { mainThread: true, timeoutMs: 150 }), (e) => e.kind === 'Timeout');
  const n = server.seen.length;
  assert.equal(await b.call('Other', {}, { mainThread: true }), 'done:Other');
  assert.deepEqual(server.seen.slice(n).map((x) => x.request.FunctionName).filter((f) => f !== 'GivenUp'), ['Other']);
  assert.deepEqual(requested, []);
});

// A fetch whose answers come after delayMs(url, request), cut short by the
// request's signal as a real fetch is.
function slowFetch(handler) {
  const urls = [];
  const fetch = (url, init) => new Promise((resolve, reject) => {
    urls.push(url);
    const request = requestOf(init.body.toString());
    const fail = () => reject(init.signal.reason);
    if (init.signal.aborted) { fail(); return; }
    const { delayMs = 0, map, error } = handler(url, request);
    const timer = setTimeout(() => {
      init.signal.removeEventListener('abort', onAbort);
      if (error) reject(error);
      else resolve(new Response(answerText(map), { status: 200 }));
    }, delayMs);
    const onAbort = () => { clearTimeout(timer); fail(); };
    init.signal.addEventListener('abort', onAbort, { once: true });
  });
  return { fetch, urls };
}

test('callers sharing one search each wait with their own signal; one giving up does not end it for the others', async () => {
  const answer = (url, request) => (request.FunctionName === 'KestrovanClose'
    ? { delayMs: 200, map: { SessionID: 'PROBE000_SID' } } : { map: session });
  // The first caller gives up; the second still gets the service.
  {
    const { fetch, urls } = slowFetch(answer);
    const client = new KestrovanClient({ fetch });
    const first = new AbortController();
    const reason = new Error('first caller left');
    const gone = client.locate({ signal: first.signal });
    const staying = client.locate();
    setTimeout(() => first.abort(reason), 20);
    await assert.rejects(gone, (e) => e === reason);
    assert.equal(await staying, 'https://127.0.0.1:56459');
    assert.equal(urls.length, 1, 'one search');
  }
  // A later caller's own deadline and signal apply to it alone.
  {
    const { fetch, urls } = slowFetch(answer);
    const client = new KestrovanClient({ fetch, timeoutMs: 40 });
    const first = client.locate({ timeoutMs: Infinity });
    const second = new AbortController();
    const reason = new Error('second caller left');
    const leaving = client.locate({ signal: second.signal });
    const timed = client.openSession();
    setTimeout(() => second.abort(reason), 20);
    let firstDone = false;
    first.then(() => { firstDone = true; });
    await assert.rejects(leaving, (e) => e === reason);
    await assert.rejects(timed, (e) => e.kind === 'Timeout');
    assert.equal(firstDone, false, 'the others gave up before the search ended');
    assert.equal(await first, 'https://127.0.0.1:56459');
    assert.equal(urls.length, 1, 'one search');
  }
  // Everyone left: the search stops, and the next caller starts a new one.
  {
    const { fetch, urls } = slowFetch(answer);
    const client = new KestrovanClient({ fetch });
    const only = new AbortController();
    const gone = client.locate({ signal: only.signal });
    setTimeout(() => only.abort(new Error('left')), 20);
    await assert.rejects(gone, /left/);
    assert.equal(await client.locate(), 'https://127.0.0.1:56459');
    assert.equal(urls.length, 2);
  }
});

// The service answers nothing while an adapter call runs (one waiting for a
// PIN may take minutes): a probe it leaves unanswered for longer than the
// probe's 5 s must not make it "unreachable".
test('a busy service that answers only after the probe time is still found, and still known after a dropped call', async () => {
  let probeDelayMs = 5500;
  const { fetch } = slowFetch((url, request) => {
    if (request.FunctionName === 'KestrovanClose') return { delayMs: probeDelayMs, map: { SessionID: 'PROBE000_SID' } };
    if (request.FunctionName === 'Drop') return { error: new TypeError('fetch failed') };
    return { map: session };
  });
  const client = new KestrovanClient({ fetch, hosts: ['127.0.0.1'], ports: [56459] });
  const s = await client.openSession();
  assert.equal(client.serviceUrl, 'https://127.0.0.1:56459');
  await assert.rejects(s.call('Drop'), (e) => e.kind === 'NoAnswer');
  assert.equal(client.serviceUrl, 'https://127.0.0.1:56459', 'still known');
  // Silence until the caller's deadline is that deadline, not "unreachable".
  probeDelayMs = 60000;
  await assert.rejects(s.call('Drop', {}, { timeoutMs: 300 }), (e) => e.kind === 'Timeout');
  assert.equal(client.serviceUrl, 'https://127.0.0.1:56459', 'still known');
});

test('a silent address is waited for while the later ones are tried; the first to answer like the service wins', async () => {
  // The service, busy, on the first port; something that never answers on
  // the second; nothing on the others.
  const busy = slowFetch((url) => {
    if (url === 'https://127.0.0.1:56459/') return { delayMs: 300, map: { SessionID: 'PROBE000_SID' } };
    if (url === 'https://127.0.0.1:56559/') return { delayMs: 60000, map: {} };
    return { error: new TypeError('fetch failed') };
  });
  const client = new KestrovanClient({ fetch: busy.fetch, probeTimeoutMs: 50 });
  assert.equal(await client.locate(), 'https://127.0.0.1:56459');
  assert.deepEqual(busy.urls, [
    'https://127.0.0.1:56459/', 'https://127.0.0.1:56559/', 'https://127.0.0.1:56659/',
    'https://localhost:56459/', 'https://localhost:56559/', 'https://localhost:56659/',
  ], 'each address once, the silent ones not asked again');
  // Silent, then failing: unreachable once every probe has ended.
  const silentThenRefused = slowFetch(() => ({ delayMs: 150, error: new TypeError('fetch failed') }));
  const other = new KestrovanClient({ fetch: silentThenRefused.fetch, hosts: ['127.0.0.1'], ports: [56459, 56559], probeTimeoutMs: 50 });
  await assert.rejects(other.locate(), (e) => e.kind === 'ServiceUnreachable');
  assert.equal(silentThenRefused.urls.length, 2);
  // Silent for good: the caller's deadline ends the wait.
  const silent = slowFetch(() => ({ delayMs: 60000, map: {} }));
  const waiting = new KestrovanClient({ fetch: silent.fetch, hosts: ['127.0.0.1'], ports: [56459], probeTimeoutMs: 20, timeoutMs: 100 });
  await assert.rejects(waiting.locate(), (e) => e.kind === 'Timeout');
  await assert.rejects(waiting.locate({ timeoutMs: 50 }), (e) => e.kind === 'Timeout' && /50 ms/.test(e.message));
  const refusing = slowFetch(() => ({ error: new TypeError('fetch failed') }));
  const third = new KestrovanClient({ fetch: refusing.fetch, probeTimeoutMs: 50 });
  await assert.rejects(third.locate(), (e) => e.kind === 'ServiceUnreachable');
  assert.equal(refusing.urls.length, 6, 'each address once');
});

test('a FunctionName or SessionId that cannot travel plain is a TypeError, and nothing is sent', async (t) => {
  const server = await standIn((request) => (request.FunctionName === 'KestrovanEcho' ? { map: session }
    : { map: { result: `done:${request.FunctionName}` } }));
  t.after(server.close);
  const client = new KestrovanClient({ serviceUrl: server.url });
  const s = await client.openSession();
  const n = server.seen.length;
  for (const bad of ['a\\b', 'line\nbreak', 'tab\t', 'bell\x07', 'del\x7f', 'lone \uD800', '\uDC00']) {
    await assert.rejects(s.call(bad, {}, { mainThread: true }), TypeError, JSON.stringify(bad));
    await assert.rejects(client.send('F', {}, { sessionId: bad }), TypeError, JSON.stringify(bad));
    await assert.rejects(client.send('F', {}, { sessionId: bad, mainThread: true }), TypeError, JSON.stringify(bad));
  }
  assert.equal(server.seen.length, n, 'nothing sent');
  assert.equal(await s.call('Next', {}, { mainThread: true }), 'done:Next');
  assert.deepEqual(server.seen.slice(n).map((x) => x.request.FunctionName), ['Next']);
  // Quotes and other text are fine in a function name.
  assert.equal(await s.call('Say "Ω"'), 'done:Say "Ω"');
});

test('an onHeartbeat that throws ends the call with its error, and the next main-thread call goes straight out', async (t) => {
  const server = await standIn((request) => {
    if (request.FunctionName === 'KestrovanEcho') return { map: session };
    if (request.FunctionName === 'Slow') return { map: { result: 'heartbeat' } };
    return { map: { result: `done:${request.FunctionName}` } };
  });
  t.after(server.close);
  const s = await new KestrovanClient({ serviceUrl: server.url }).openSession();
  const broken = new Error('the progress display broke');
  await assert.rejects(s.call('Slow', {}, { mainThread: true, onHeartbeat: () => { throw broken; } }), (e) => e === broken);
  const n = server.seen.length;
  assert.equal(await s.call('Next', {}, { mainThread: true }), 'done:Next');
  assert.deepEqual(server.seen.slice(n).map((x) => x.request.FunctionName), ['Next']);
});

test('a deadline beyond what a timer can hold is no deadline, not an immediate one', async (t) => {
  const server = await standIn((request) => (request.FunctionName === 'KestrovanEcho' ? { map: session }
    : { delayMs: 50, map: { result: `done:${request.FunctionName}` } }));
  t.after(server.close);
  for (const timeoutMs of [2 ** 31 - 1, 2 ** 31, 2 ** 40, Number.MAX_VALUE]) {
    const s = await new KestrovanClient({ serviceUrl: server.url, timeoutMs }).openSession();
    assert.equal(await s.call('F'), 'done:F', `client ${timeoutMs}`);
    assert.equal(await s.call('G', {}, { timeoutMs, mainThread: true }), 'done:G', `call ${timeoutMs}`);
  }
});
