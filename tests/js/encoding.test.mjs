// SPDX-License-Identifier: Apache-2.0
// Encoding of requests and decoding of answers, checked against node's own
// Buffer/URLSearchParams and against the service's JSON reading rules.
import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  encodeBase64Utf8, decodeBase64Utf8, formBody, serializeParameters, decodeAnswer,
  prepareParameters, param, hidden, base64, encrypted, travelsPlain, MAX_PARAMETERS, MAX_PARAMETER_NAME_BYTES,
  KestrovanError, CALL_ID_KEY, newCallId,
} from '../../clients/js/kestrovan.js';

const texts = [
  '',
  'plain ascii',
  'Καλημέρα κόσμε',
  'Привет, мир',
  'emoji 🔐🙂 and 𝄞',
  '>>>???', // Base64 of this holds "+" and "/"
  'ÿþý',
  '\uFEFFa leading byte-order mark is part of the text',
  '\uFEFF',
  '\uFEFF\uFEFFtwo',
];

test('Base64 of UTF-8 matches Buffer and round-trips', () => {
  for (const text of texts) {
    const encoded = encodeBase64Utf8(text);
    assert.equal(encoded, Buffer.from(text, 'utf8').toString('base64'), text);
    assert.equal(decodeBase64Utf8(encoded), text);
  }
});

test('lone surrogates are refused, not replaced', () => {
  assert.throws(() => encodeBase64Utf8('a\uD800b'), TypeError);
  assert.throws(() => encodeBase64Utf8('\uDC00'), TypeError);
});

test('the form field percent-escapes the three Base64 symbols', () => {
  // Base64 of ">>>???" is "Pj4+Pz8/", of "a" is "YQ==".
  for (const [json, escaped] of [['>>>???', 'Pj4%2BPz8%2F'], ['a', 'YQ%3D%3D']]) {
    const body = formBody(json).toString();
    assert.equal(body, `Parameter=${escaped}`);
    // What a form decoder (the service's POST processor) reads back.
    assert.equal(new URLSearchParams(body).get('Parameter'), Buffer.from(json).toString('base64'));
  }
});

// The service's JSON reading: it decodes \" \r \n \t \u000e \u000f \u001b
// (in that set, applied one after another) and keeps every other escape as
// written. A model of it checks that what we write reads back exactly.
function serviceRead(span) {
  let out = span;
  for (const [from, to] of [['\\r', '\r'], ['\\n', '\n'], ['\\t', '\t'], ['\\u000f', '\x0f'],
    ['\\u000e', '\x0e'], ['\\u001b', '\x1b'], ['\\"', '"']]) out = out.split(from).join(to);
  return out;
}

test('values are written so that the service reads them back exactly', () => {
  const cases = [
    ['a"b', '"a\\"b"'],
    ['line1\nline2\r\n', '"line1\\nline2\\r\\n"'],
    ['tab\there', '"tab\\there"'],
    ['\x0e\x0f\x1b', '"\\u000e\\u000f\\u001b"'],
    ['slash / stays', '"slash / stays"'],
    ['Привет 🔐', '"Привет 🔐"'],
    ['"MainThread":true', '"\\"MainThread\\":true"'],
  ];
  for (const [value, written] of cases) {
    const json = serializeParameters([['k', value]]);
    assert.equal(json, `{"k":${written}}`);
    assert.equal(serviceRead(written.slice(1, -1)), value);
    assert.deepEqual(JSON.parse(json), { k: value }, 'still standard JSON');
  }
});

test('values the service cannot read back plainly are recognised', () => {
  for (const value of ['a\\b', '\\', '\x01', '\x08', '\x0b', '\x0c', '\x1f', '\x00']) {
    assert.equal(travelsPlain(value), false, JSON.stringify(value));
    assert.throws(() => serializeParameters([['k', value]]), TypeError);
  }
  for (const value of ['', 'a', '\r\n\t\x0e\x0f\x1b"', '\x7f', 'ünïcödé']) assert.equal(travelsPlain(value), true);
});

test('a main-thread marker is written as the service searches for it', async () => {
  const entries = await prepareParameters({ a: '1' }, { fixed: [['FunctionName', 'F']], mainThread: true });
  const json = serializeParameters(entries);
  assert.ok(json.includes('"KestrovanMainThread":true'), json);
  // A user's boolean never becomes a marker: it is sent as text.
  const user = serializeParameters(await prepareParameters({ MainThread: true, KeepAlive: true }));
  assert.equal(user, '{"MainThread":"true","KeepAlive":"true"}');
});

test('a main-thread call carries a call identifier of its own, fresh for every call unless given', async () => {
  const idOf = async (options) => new Map(await prepareParameters({ a: '1' }, options)).get(CALL_ID_KEY);
  const first = await idOf({ mainThread: true });
  const second = await idOf({ mainThread: true });
  // What the service accepts in an identifier: at most 64 of these characters.
  assert.match(first, /^[A-Za-z0-9_-]{32}$/);
  assert.match(newCallId(), /^[A-Za-z0-9_-]{32}$/);
  assert.notEqual(first, second);
  assert.equal(await idOf({ mainThread: true, callId: 'mine-1' }), 'mine-1');
  assert.equal(await idOf({}), undefined, 'plain calls carry none');
  const json = serializeParameters(await prepareParameters({}, { mainThread: true, callId: 'c1' }));
  assert.equal(json, '{"KestrovanMainThread":true,"KestrovanCallId":"c1"}');
  // The page's own parameter of that name would be read as the identifier.
  await assert.rejects(prepareParameters({ kestrovancallid: 'x' }, { mainThread: true }), TypeError);
});

test('flags: Base64, hide, automatic Base64 for values that need it, bytes', async () => {
  const entries = await prepareParameters({
    plain: 'x',
    b: base64('Ω'),
    h: hidden('1234'),
    both: param('a', { base64: true, hide: true }),
    path: 'C:\\Users\\x',
    ctl: 'bell\x07',
    bytes: new Uint8Array([0, 255, 1]),
    n: 12,
    t: false,
    skipped: undefined,
  });
  assert.deepEqual(entries, [
    ['plain', 'x'],
    ['b', Buffer.from('Ω').toString('base64')], ['b_KestrovanBase64Flag', 'true'],
    ['h', '1234'], ['h_KestrovanHide', 'true'],
    ['both', 'YQ=='], ['both_KestrovanBase64Flag', 'true'], ['both_KestrovanHide', 'true'],
    ['path', Buffer.from('C:\\Users\\x').toString('base64')], ['path_KestrovanBase64Flag', 'true'],
    ['ctl', Buffer.from('bell\x07').toString('base64')], ['ctl_KestrovanBase64Flag', 'true'],
    ['bytes', 'AP8B'], ['bytes_KestrovanBase64Flag', 'true'],
    ['n', '12'],
    ['t', 'false'],
  ]);
});

test('what the service cannot carry is refused before sending', async () => {
  const bad = [
    [{ k: 'a\0b' }, TypeError],
    [{ k: 'a\uD800' }, TypeError],
    [{ k: null }, TypeError],
    [{ k: { nested: 1 } }, TypeError],
    [{ 'a"b': 'x' }, TypeError],
    [{ 'a\\b': 'x' }, TypeError],
    [{ 'a\nb': 'x' }, TypeError],
    [{ '': 'x' }, TypeError],
    [{ Name: 'x', name: 'y' }, TypeError],
    [{ functionname: 'x' }, TypeError], // collides with the library's FunctionName
    [{ sessionID: 'x' }, TypeError],
    [{ x: 'a', x_KestrovanHide: 'true', y: hidden('b'), Y_KESTROVANHIDE: 'no' }, TypeError],
  ];
  for (const [params, type] of bad) {
    await assert.rejects(prepareParameters(params, { fixed: [['FunctionName', 'F'], ['SessionId', '']] }), type,
      JSON.stringify(Object.keys(params)));
  }
  assert.throws(() => param('x', { base64: true, encrypt: true }), TypeError);
});

test('names too long for the service to find their flags are refused', async () => {
  const fixed = [['FunctionName', 'F'], ['SessionId', '']];
  assert.equal(MAX_PARAMETER_NAME_BYTES + '_KestrovanEncryptFlag'.length, 511);
  const longest = 'n'.repeat(MAX_PARAMETER_NAME_BYTES);
  const entries = await prepareParameters({ [longest]: encrypted('x', { hide: true }) }, { fixed, secret: 'S'.repeat(32) });
  assert.deepEqual(entries.map(([k]) => k).slice(2, 5),
    [longest, `${longest}_KestrovanEncryptFlag`, `${longest}_KestrovanHide`]);
  const tooLong = [
    'n'.repeat(MAX_PARAMETER_NAME_BYTES + 1),
    'Ω'.repeat(MAX_PARAMETER_NAME_BYTES / 2) + 'n', // counted in UTF-8 bytes, not characters
    'n'.repeat(2000),
  ];
  for (const name of tooLong) {
    for (const value of ['plain', hidden('secret'), base64('x'), 'needs\\flag']) {
      await assert.rejects(prepareParameters({ [name]: value }, { fixed }), TypeError, `${name.length} characters`);
    }
  }
});

test('at most 128 keys, flags and fixed keys counted', async () => {
  const fixed = [['FunctionName', 'F'], ['SessionId', '']];
  const fits = {};
  for (let i = 0; i < MAX_PARAMETERS - 2; i++) fits[`p${i}`] = 'v';
  assert.equal((await prepareParameters(fits, { fixed })).length, MAX_PARAMETERS);
  await assert.rejects(prepareParameters({ ...fits, extra: 'v' }, { fixed }), RangeError);
  const flagged = {};
  for (let i = 0; i < 63; i++) flagged[`p${i}`] = hidden('v'); // 126 keys + 2 fixed
  assert.equal((await prepareParameters(flagged, { fixed })).length, 128);
  await assert.rejects(prepareParameters({ ...flagged, q: 'v' }, { fixed }), RangeError);
});

test('answers: Base64 values decoded as UTF-8, keys as written', () => {
  const greek = Buffer.from('Καλημέρα 🔐').toString('base64');
  const answer = decodeAnswer(`{"LibVersion": "MS4wLjAuNQ==", "result": "${greek}", "SessionID": "QUJDREVGR0hfU0lE"}`);
  assert.deepEqual(answer, { LibVersion: '1.0.0.5', result: 'Καλημέρα 🔐', SessionID: 'ABCDEFGH_SID' });
  assert.deepEqual(decodeAnswer('{}'), {});
  assert.deepEqual(decodeAnswer('{"result": ""}'), { result: '' });
  const marked = Buffer.from('\uFEFFsigned').toString('base64');
  assert.deepEqual(decodeAnswer(`{"result": "${marked}"}`), { result: '\uFEFFsigned' });
});

test('answers that are not the service\'s form are a BadAnswer', () => {
  for (const text of ['', 'not json', '[]', 'null', '"x"', '{"result": 5}', '{"result": "***"}', '<html></html>']) {
    assert.throws(() => decodeAnswer(text), (e) => e instanceof KestrovanError && e.kind === 'BadAnswer', text);
  }
});
