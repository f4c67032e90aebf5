// SPDX-License-Identifier: Apache-2.0
// Every numeric result code becomes a named error with a message that says
// what happened.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

import { errorForCode, resultCodeOf, KestrovanError, ErrorKind, ResultCode } from '../../clients/js/kestrovan.js';

const table = [
  [61001, 'UnknownSession', /session/i],
  [61003, 'NotANumber', /number/i],
  [61004, 'NoNumber', /number/i],
  [61005, 'MissingParameter', /missing/i],
  [61009, 'AdapterLocationRejected', /path table/i],
  [61012, 'OriginRejected', /origin/i],
  [61016, 'KeyNotFound', /parameter/i],
  [61019, 'ValueStoreFull', /full/i],
  [61020, 'ValueSealFailed', /seal/i],
  [61021, 'ValueChannelTaken', /other sites/i],
  [61203, 'ServerVersionTooOld', /minimum service version/i],
  [61204, 'AdapterVersionTooOld', /minimum adapter version/i],
  [61902, 'AdapterLoadFailed', /load/i],
  [61904, 'NotLocal', /127\.0\.0\.1/],
  [61906, 'AdapterNoEntryPoint', /entry point/i],
];

test('each service code has its own kind and message', () => {
  const kinds = new Set();
  for (const [code, kind, words] of table) {
    const error = errorForCode(code);
    assert.ok(error instanceof KestrovanError);
    assert.ok(error instanceof Error);
    assert.equal(error.name, 'KestrovanError');
    assert.equal(error.kind, kind, String(code));
    assert.equal(ErrorKind[kind], kind);
    assert.equal(error.code, code);
    assert.match(error.message, new RegExp(`^Kestrovan error ${code}: `));
    assert.match(error.message, words);
    assert.equal(errorForCode(String(code)).kind, kind, 'text codes too');
    kinds.add(kind);
  }
  assert.equal(kinds.size, table.length);
  // Every code the library names has an entry in the table.
  for (const code of Object.values(ResultCode)) {
    if (code !== 0) assert.ok(table.some(([c]) => c === code), String(code));
  }
});

test('adapter codes in 61000..61999 are adapter errors', () => {
  for (const code of [61000, 61007, 61500, 61999]) {
    const error = errorForCode(code);
    assert.equal(error.kind, 'AdapterError');
    assert.equal(error.code, code);
    assert.match(error.message, new RegExp(String(code)));
  }
});

test('61001 from the value store reads as an unreadable value', () => {
  const error = errorForCode(61001, 'getValue');
  assert.equal(error.kind, 'ValueUnreadable');
  assert.equal(error.code, 61001);
});

test('only five-digit texts from 61000 to 61999 are codes', () => {
  const cases = [
    ['61001', 61001], ['61999', 61999], ['61000', 61000], ['61500', 61500],
    ['0', null], ['62000', null], ['60999', null], ['61001 ', null], [' 61001', null], ['061001', null],
    ['61001.5', null], ['-61001', null], ['heartbeat', null], ['', null], [undefined, null], ['ok:61001', null],
  ];
  for (const [text, code] of cases) assert.equal(resultCodeOf(text), code, String(text));
});

test('errors keep the answer they came from', () => {
  const answer = { result: '61204' };
  const error = errorForCode(61204, 'open', answer);
  assert.equal(error.answer, answer);
});

test('every error kind the type declarations name exists at runtime, and no other', () => {
  const dts = fs.readFileSync(new URL('../../clients/js/kestrovan.d.ts', import.meta.url), 'utf8');
  const union = /export type ErrorKindName =([^;]*);/.exec(dts);
  assert.ok(union, 'ErrorKindName found in kestrovan.d.ts');
  const declared = [...union[1].matchAll(/'([A-Za-z]+)'/g)].map((m) => m[1]).sort();
  assert.ok(declared.includes('CryptoUnavailable'));
  assert.deepEqual(Object.keys(ErrorKind).sort(), declared);
  for (const kind of declared) assert.equal(ErrorKind[kind], kind);
});

test('the Node version the package states is the one the library needs', () => {
  const pkg = JSON.parse(fs.readFileSync(new URL('../../clients/js/package.json', import.meta.url), 'utf8'));
  const readme = fs.readFileSync(new URL('../../clients/js/README.md', import.meta.url), 'utf8');
  const source = fs.readFileSync(new URL('../../clients/js/kestrovan.js', import.meta.url), 'utf8');
  // globalThis.crypto (WebCrypto) is global from Node 20 on.
  assert.match(source, /Node 20\+/);
  assert.equal(pkg.engines.node, '>=20');
  assert.match(readme, /Node 20\+/);
  assert.doesNotMatch(readme, /Node 1[0-9]\+/);
});
