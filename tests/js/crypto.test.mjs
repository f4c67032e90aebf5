// SPDX-License-Identifier: Apache-2.0
// The encrypt flag through WebCrypto, opened with node's OpenSSL-backed
// AES-256-CBC exactly the way the service opens it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createDecipheriv, createCipheriv } from 'node:crypto';

import {
  encryptForService, prepareParameters, encrypted, param, randomSecret,
  SHARE_IV, SEAL_MARKER, SHARE_SECRET_KEY,
} from '../../clients/js/kestrovan.js';

const secret = 'k'.repeat(16) + 'K'.repeat(16) + 'ignored-after-32-bytes';

function open(hex, secretText) {
  const key = Buffer.from(secretText, 'utf8').subarray(0, 32);
  const decipher = createDecipheriv('aes-256-cbc', key, Buffer.from(SHARE_IV, 'latin1'));
  return Buffer.concat([decipher.update(Buffer.from(hex, 'hex')), decipher.final()]);
}

test('the fixed IV is 16 bytes', () => {
  assert.equal(Buffer.from(SHARE_IV, 'latin1').length, 16);
});

test('encrypted texts open to marker + UTF-8 text + zero byte', async () => {
  for (const text of ['', 'x', '14 characters.', 'sixteen chars!!!', 'Καλημέρα, Привет 🔐', 'a"b\\c\n']) {
    const hex = await encryptForService(text, secret);
    assert.match(hex, /^[0-9a-f]+$/);
    const plain = open(hex, secret);
    assert.deepEqual(plain, Buffer.concat([Buffer.from(SEAL_MARKER), Buffer.from(text, 'utf8'), Buffer.from([0])]));
    // The sealed length the service's own sealing gives for the same text.
    const L = SEAL_MARKER.length + Buffer.byteLength(text);
    assert.equal(hex.length / 2, 16 * (Math.floor((L + 1) / 16) + 1), text);
  }
});

test('same bytes as node\'s AES-256-CBC for the same key and IV', async () => {
  const text = 'compare me';
  const key = Buffer.from(secret).subarray(0, 32);
  const cipher = createCipheriv('aes-256-cbc', key, Buffer.from(SHARE_IV, 'latin1'));
  const expected = Buffer.concat([cipher.update(Buffer.from(SEAL_MARKER + text + '\0')), cipher.final()]);
  assert.equal(await encryptForService(text, secret), expected.toString('hex'));
});

test('the key is the first 32 bytes of the secret\'s UTF-8, cut inside a character if need be', async () => {
  const multibyte = 'Ω'.repeat(15) + 'abc'; // 30 + 3 bytes: byte 32 is "b"
  const hex = await encryptForService('t', multibyte);
  assert.deepEqual(open(hex, multibyte), Buffer.from(SEAL_MARKER + 't\0'));
  const other = 'Ω'.repeat(15) + 'abX'; // differs after byte 32 only
  assert.equal(await encryptForService('t', other), hex);
});

test('secrets the service cannot use are refused', async () => {
  await assert.rejects(encryptForService('t', 'short'), RangeError);
  await assert.rejects(encryptForService('t', 'Ω'.repeat(15) + 'a'), RangeError); // 31 bytes
  await assert.rejects(encryptForService('t', 'a'.repeat(31) + '\\'), TypeError);
  await assert.rejects(encryptForService('t', 'a'.repeat(32) + '\n'), TypeError);
  await assert.rejects(encryptForService('t', 42), TypeError);
  await assert.rejects(encryptForService('a\0b', secret), TypeError);
});

test('an encrypted parameter carries its flag and the request\'s shared secret', async () => {
  const entries = await prepareParameters({ a: encrypted('one'), b: param('two', { encrypt: true, hide: true }), c: 'plain' },
    { secret });
  const map = new Map(entries);
  assert.equal(map.get('a_KestrovanEncryptFlag'), 'true');
  assert.equal(map.get('b_KestrovanEncryptFlag'), 'true');
  assert.equal(map.get('b_KestrovanHide'), 'true');
  assert.equal(map.get(SHARE_SECRET_KEY), secret);
  assert.equal(map.get('c'), 'plain');
  assert.deepEqual(open(map.get('a'), secret), Buffer.from(SEAL_MARKER + 'one\0'));
  assert.deepEqual(open(map.get('b'), secret), Buffer.from(SEAL_MARKER + 'two\0'));
  assert.equal(entries.filter(([k]) => k === SHARE_SECRET_KEY).length, 1);
});

test('without a given secret each request gets a fresh random one', async () => {
  const first = new Map(await prepareParameters({ a: encrypted('x') }));
  const second = new Map(await prepareParameters({ a: encrypted('x') }));
  const s1 = first.get(SHARE_SECRET_KEY);
  const s2 = second.get(SHARE_SECRET_KEY);
  assert.match(s1, /^[A-Za-z0-9_-]{32}$/);
  assert.notEqual(s1, s2);
  assert.deepEqual(open(first.get('a'), s1), Buffer.from(SEAL_MARKER + 'x\0'));
  assert.equal(randomSecret().length, 32);
  // No secret at all when nothing is encrypted.
  assert.equal(new Map(await prepareParameters({ a: 'x' })).has(SHARE_SECRET_KEY), false);
});
