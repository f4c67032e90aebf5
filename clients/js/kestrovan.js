// SPDX-License-Identifier: Apache-2.0
// kestrovan.js -- the page side of Kestrovan: finds the local service, opens
// sessions, calls adapter functions (with the heartbeat protocol for
// main-thread calls), uses the value store, and turns every answer into a
// value or a named error. One ES module, no dependencies; works in current
// browsers and in Node 20+ (global fetch, WebCrypto, TextEncoder).

// generated from service/ports.h by scripts/codes.py: change the header, then run it
export const SERVICE_PORTS = Object.freeze([56459, 56559, 56659]);
// end of generated part
export const SERVICE_HOSTS = Object.freeze(['127.0.0.1', 'localhost']);
export const SERVER_VERSION = '3.0.23.0721';
// The one row of the service's adapter path table.
export const DEFAULT_PATH_ID = '7E41A0C2D95B4F3E8A61C07B2D9F54E1';

// The service holds at most this many keys per request (flags included).
export const MAX_PARAMETERS = 128;
// Encrypted parameters: AES-256-CBC with this fixed IV, the key being the
// first 32 bytes of the request's "Kestrovan_share_secret"; the plaintext is
// the service's sealed form (marker, UTF-8 text, one zero byte).
export const SHARE_IV = 'KestrovanShareIV';
export const SHARE_SECRET_KEY = 'Kestrovan_share_secret';
export const SEAL_MARKER = 'KestrovanAESCBC';
export const HEARTBEAT = 'heartbeat';

const MAIN_THREAD_KEY = 'KestrovanMainThread';
// Names one main-thread call, the same on each of its re-sends: the service
// hands the call's result only to a request that carries it (and comes from
// the same origin and session).
export const CALL_ID_KEY = 'KestrovanCallId';
const DEFAULT_TIMEOUT_MS = 120000;
const PROBE_TIMEOUT_MS = 5000;
// setTimeout's longest delay; a longer deadline is no deadline.
const MAX_TIMER_MS = 2147483647;
// The service forms flag keys ("<name>_KestrovanEncryptFlag", the longest) in
// 511 bytes and cuts what is longer, so a longer name would lose its flags.
export const MAX_PARAMETER_NAME_BYTES = 511 - '_KestrovanEncryptFlag'.length;

// generated from support/codes.h by scripts/codes.py: change the header, then run it
export const ResultCode = Object.freeze({
  OK: 0,
  GENERAL: 61001,
  NOT_NUMBER: 61003,
  NO_TEXT: 61004,
  MISSING_PARAMETER: 61005,
  LOCATION_REJECTED: 61009,
  ORIGIN_REJECTED: 61012,
  KEY_NOT_FOUND: 61016,
  STORE_FULL: 61019,
  SEAL_FAILED: 61020,
  CHANNEL_TAKEN: 61021,
  SERVER_VERSION: 61203,
  ADAPTER_VERSION: 61204,
  LOAD_FAILED: 61902,
  NOT_LOCAL: 61904,
  NO_ENTRY_POINT: 61906,
});

// kind, message for each code the service itself answers. 61001 depends on
// the request (see errorForCode).
const CODE_TEXT = new Map([
  [61001, ['UnknownSession', 'The service does not know this session: it was released, replaced by a newer one, or the service restarted. Open a new session.']],
  [61003, ['NotANumber', 'The service could not read a number it needed (a text that is not a number).']],
  [61004, ['NoNumber', 'The service could not read a number it needed (no text at all).']],
  [61005, ['MissingParameter', 'A required parameter is missing or invalid (value store: channel, domain list, value or a timeout that is negative or too large; a version text with an empty part; or a main-thread call identifier the service cannot use).']],
  [61009, ['AdapterLocationRejected', 'The service refused the adapter location: the path id, folder or component name is not in its path table.']],
  [61012, ['OriginRejected', 'The service could not establish this page\'s origin (no usable Origin or Referer header), or the user at the console changed and the service is shutting down.']],
  [61016, ['KeyNotFound', 'The service could not find a parameter it looked up.']],
  [61019, ['ValueStoreFull', 'The value store is full: this site already holds 4 live values, or all 16 channels hold values that have not expired (values without a timeout stay until the service restarts).']],
  [61020, ['ValueSealFailed', 'The service could not seal the value for storage.']],
  [61021, ['ValueChannelTaken', 'The channel holds a value stored for other sites: this page\'s origin is not on its domain list, so it cannot replace it until it expires. Use another channel name.']],
  [61203, ['ServerVersionTooOld', 'The service is older than the minimum service version this page asked for (or that minimum is not a version of four numbers).']],
  [61204, ['AdapterVersionTooOld', 'The adapter is older than the minimum adapter version this page asked for (or that minimum is not comparable with the adapter\'s version).']],
  [61902, ['AdapterLoadFailed', 'The service could not load the adapter library: it is not installed or cannot be loaded.']],
  [61904, ['NotLocal', 'The service refused the request because its Host was not 127.0.0.1 or localhost with a port. Address the service as https://127.0.0.1:PORT or https://localhost:PORT.']],
  [61906, ['AdapterNoEntryPoint', 'The adapter library exports no entry point the service can call.']],
]);
// end of generated part

export const ErrorKind = Object.freeze({
  ServiceUnreachable: 'ServiceUnreachable',
  NoAnswer: 'NoAnswer',
  BadAnswer: 'BadAnswer',
  Timeout: 'Timeout',
  AdapterInitFailed: 'AdapterInitFailed',
  AdapterRefused: 'AdapterRefused',
  AdapterError: 'AdapterError',
  NoResult: 'NoResult',
  ValueUnreadable: 'ValueUnreadable',
  SessionClosed: 'SessionClosed',
  CryptoUnavailable: 'CryptoUnavailable',
  ...Object.fromEntries([...CODE_TEXT.values()].map(([kind]) => [kind, kind])),
});

export class KestrovanError extends Error {
  constructor(kind, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'KestrovanError';
    this.kind = kind;
    this.code = details.code ?? null;
    if (details.result !== undefined) this.result = details.result;
    if (details.answer !== undefined) this.answer = details.answer;
    if (details.urls !== undefined) this.urls = details.urls;
    if (details.permissionState !== undefined) this.permissionState = details.permissionState;
  }
}

// The error for a numeric result code. context 'getValue' reads 61001 as the
// value store's failure to open a stored value rather than an unknown session.
export function errorForCode(code, context = '', answer = undefined) {
  const number = Number(code);
  if (number === 61001 && context === 'getValue') {
    return new KestrovanError(ErrorKind.ValueUnreadable,
      'Kestrovan error 61001: the service could not open the stored value (or does not know this session).',
      { code: number, answer });
  }
  const known = CODE_TEXT.get(number);
  if (known) {
    return new KestrovanError(known[0], `Kestrovan error ${number}: ${known[1]}`, { code: number, answer });
  }
  if (number >= 61000 && number < 62000) {
    return new KestrovanError(ErrorKind.AdapterError,
      `Kestrovan error ${number}: the adapter reported this error code.`, { code: number, answer });
  }
  return new KestrovanError(ErrorKind.BadAnswer, `Unexpected result code ${code}.`, { code: Number.isFinite(number) ? number : null, answer });
}

// A result text that is an error code: decimal digits only, 61000..61999.
export function resultCodeOf(text) {
  if (typeof text !== 'string' || !/^[0-9]{5}$/.test(text)) return null;
  const n = Number(text);
  return n >= 61000 && n < 62000 ? n : null;
}

// ---------------------------------------------------------------- encoding

const encoder = new TextEncoder();
// ignoreBOM: a leading U+FEFF is part of the value, not a marker to drop.
const decoder = new TextDecoder('utf-8', { ignoreBOM: true });

function bytesToBase64(bytes) {
  let binary = '';
  const chunk = 0x8000;
  for (let i = 0; i < bytes.length; i += chunk) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
  }
  return btoa(binary);
}

function base64ToBytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

function isWellFormed(text) {
  if (typeof text.isWellFormed === 'function') return text.isWellFormed();
  return !/[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/.test(text);
}

// Base64 of the UTF-8 bytes of text. Lone surrogates cannot be UTF-8 and are
// refused rather than silently replaced.
export function encodeBase64Utf8(text) {
  if (typeof text !== 'string') throw new TypeError('encodeBase64Utf8 needs a string');
  if (!isWellFormed(text)) throw new TypeError('The text holds a lone surrogate and has no UTF-8 form');
  return bytesToBase64(encoder.encode(text));
}

// The text whose UTF-8 bytes the Base64 holds. Bytes that are not UTF-8
// become U+FFFD.
export function decodeBase64Utf8(text) {
  return decoder.decode(base64ToBytes(text));
}

// Characters the service's JSON reading gives back as written: it decodes the
// escapes \" \r \n \t \u000e \u000f \u001b and nothing else (a \\ stays two
// backslashes), so a value with a backslash or another control character must
// travel with a decoding flag.
const SERVICE_ESCAPES = new Map([
  ['"', '\\"'], ['\r', '\\r'], ['\n', '\\n'], ['\t', '\\t'],
  ['\x0e', '\\u000e'], ['\x0f', '\\u000f'], ['\x1b', '\\u001b'],
]);
// eslint-disable-next-line no-control-regex
const NEEDS_FLAG = /[\\\x00-\x08\x0b\x0c\x10-\x1a\x1c-\x1f]/;
// eslint-disable-next-line no-control-regex
const BAD_KEY = /["\\\x00-\x1f\x7f]/;
// eslint-disable-next-line no-control-regex
const BAD_FIXED = /[\\\x00-\x1f\x7f]/;

// True when the service reads the value back exactly as given, without flags.
export function travelsPlain(text) {
  return !NEEDS_FLAG.test(text);
}

function quoteForService(text) {
  let out = '"';
  for (const ch of text) out += SERVICE_ESCAPES.get(ch) ?? ch;
  return out + '"';
}

// The JSON object text for a list of [key, text] pairs, written so that the
// service reads each value back exactly. Values must already travel plain.
export function serializeParameters(entries) {
  const parts = [];
  for (const [key, value, primitive] of entries) {
    if (primitive) {
      parts.push(`${quoteForService(key)}:${value}`);
    } else {
      if (!travelsPlain(value)) throw new TypeError(`Parameter "${key}" cannot be sent without a decoding flag`);
      parts.push(`${quoteForService(key)}:${quoteForService(value)}`);
    }
  }
  return `{${parts.join(',')}}`;
}

// The form body: one field "Parameter" with the Base64 of the JSON text.
// URLSearchParams percent-escapes "+", "/" and "=" (%2B, %2F, %3D), which the
// service turns back, and makes the request a CORS simple request.
export function formBody(jsonText) {
  return new URLSearchParams({ Parameter: encodeBase64Utf8(jsonText) });
}

// The service's answer text: a JSON object whose values are the Base64 of
// UTF-8 texts. Returns a plain object of decoded texts.
export function decodeAnswer(text) {
  let parsed;
  try {
    parsed = JSON.parse(text);
  } catch (cause) {
    throw new KestrovanError(ErrorKind.BadAnswer, 'The service answered something that is not its JSON answer.', { cause, answer: text });
  }
  if (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)) {
    throw new KestrovanError(ErrorKind.BadAnswer, 'The service answered something that is not its JSON answer.', { answer: text });
  }
  const out = {};
  for (const [key, value] of Object.entries(parsed)) {
    if (typeof value !== 'string') {
      throw new KestrovanError(ErrorKind.BadAnswer, `The service's answer holds a value for "${key}" that is not Base64 text.`, { answer: text });
    }
    try {
      out[key] = decodeBase64Utf8(value);
    } catch (cause) {
      throw new KestrovanError(ErrorKind.BadAnswer, `The service's answer holds a value for "${key}" that is not Base64 text.`, { cause, answer: text });
    }
  }
  return out;
}

// ------------------------------------------------------ parameter flags

const PARAM = Symbol('kestrovan.parameter');

// A parameter with flags: { base64, hide, encrypt }. Only one decoding
// applies at the service, so base64 and encrypt exclude each other. A
// Uint8Array or ArrayBuffer value is always sent as Base64 of its bytes.
export function param(value, options = {}) {
  const { base64 = false, hide = false, encrypt = false } = options;
  if (base64 && encrypt) throw new TypeError('A parameter is either Base64 or encrypted, not both');
  return Object.freeze({ [PARAM]: true, value, base64: !!base64, hide: !!hide, encrypt: !!encrypt });
}
export const hidden = (value, options = {}) => param(value, { ...options, hide: true });
export const base64 = (value, options = {}) => param(value, { ...options, base64: true });
export const encrypted = (value, options = {}) => param(value, { ...options, encrypt: true });

function hexOf(bytes) {
  let out = '';
  for (const b of bytes) out += b.toString(16).padStart(2, '0');
  return out;
}

function subtleCrypto() {
  const subtle = globalThis.crypto && globalThis.crypto.subtle;
  if (!subtle) {
    throw new KestrovanError(ErrorKind.CryptoUnavailable,
      'Encrypted parameters need WebCrypto (crypto.subtle), which browsers offer only to secure (https or loopback) pages.');
  }
  return subtle;
}

// 32 random characters from a 64-character alphabet (192 bits).
function randomText() {
  const alphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_';
  const bytes = globalThis.crypto.getRandomValues(new Uint8Array(32));
  let out = '';
  for (const b of bytes) out += alphabet[b & 63];
  return out;
}

// A fresh shared secret.
export function randomSecret() {
  return randomText();
}

// A fresh main-thread call identifier (characters the service accepts in
// one: letters, digits, "-" and "_").
export function newCallId() {
  return randomText();
}

function checkSecret(secret) {
  if (typeof secret !== 'string') throw new TypeError('The shared secret must be a string');
  // eslint-disable-next-line no-control-regex
  if (/[\\\x00-\x1f\x7f]/.test(secret) || !isWellFormed(secret)) {
    throw new TypeError('The shared secret must not hold a backslash or control characters');
  }
  const bytes = encoder.encode(secret);
  if (bytes.length < 32) throw new RangeError('The shared secret must be at least 32 bytes long (its first 32 bytes are the AES-256 key)');
  return bytes.subarray(0, 32);
}

// Hex of AES-256-CBC (PKCS#7 padding) over marker + UTF-8 text + zero byte,
// with the first 32 bytes of secret as key and the fixed IV: what the
// service's encrypt flag opens.
export async function encryptForService(text, secret) {
  if (typeof text !== 'string' || !isWellFormed(text)) throw new TypeError('Only well-formed strings can be encrypted');
  if (text.includes('\0')) throw new TypeError('An encrypted text cannot hold a zero character');
  const subtle = subtleCrypto();
  const keyBytes = checkSecret(secret);
  const key = await subtle.importKey('raw', keyBytes, { name: 'AES-CBC' }, false, ['encrypt']);
  const plain = encoder.encode(SEAL_MARKER + text + '\0');
  const cipher = await subtle.encrypt({ name: 'AES-CBC', iv: encoder.encode(SHARE_IV) }, key, plain);
  plain.fill(0);
  return hexOf(new Uint8Array(cipher));
}

function textOf(key, value) {
  if (typeof value === 'string') return value;
  if (typeof value === 'number' || typeof value === 'bigint' || typeof value === 'boolean') return String(value);
  throw new TypeError(`Parameter "${key}" must be a string, number, boolean or bytes (got ${value === null ? 'null' : typeof value})`);
}

function checkKey(key) {
  if (typeof key !== 'string' || key === '') throw new TypeError('Parameter names must be non-empty strings');
  if (BAD_KEY.test(key) || !isWellFormed(key)) {
    throw new TypeError(`Parameter name "${key}" holds a quote, backslash or control character`);
  }
  if (encoder.encode(key).length > MAX_PARAMETER_NAME_BYTES) {
    throw new TypeError(`Parameter name "${key.slice(0, 40)}…" is longer than ${MAX_PARAMETER_NAME_BYTES} bytes: the service would not see its flags`);
  }
}

// FunctionName and SessionId travel without flags, so they must travel plain.
function checkFixedText(what, text) {
  if (typeof text !== 'string') throw new TypeError(`${what} must be a string`);
  if (BAD_FIXED.test(text) || !isWellFormed(text)) {
    throw new TypeError(`${what} "${text}" holds a backslash, control character or lone surrogate`);
  }
}

// Turns { name: value | param(...) } into the [key, text] entries the service
// reads (flags and shared secret included). Values that cannot travel as
// plain JSON text get the Base64 flag. Throws TypeError/RangeError for what
// the service cannot carry: zero characters, lone surrogates, keys that
// collide ignoring case, more than MAX_PARAMETERS keys. With mainThread the
// main-thread marker and a call identifier (options.callId, else a fresh one)
// are added.
export async function prepareParameters(params, options = {}) {
  const entries = [];
  let secret = null;
  const fixed = options.fixed || [];
  for (const entry of fixed) entries.push(entry);
  for (const [key, raw] of Object.entries(params || {})) {
    if (raw === undefined) continue;
    checkKey(key);
    const p = raw && raw[PARAM] ? raw : { value: raw, base64: false, hide: false, encrypt: false };
    let value;
    let flag = null;
    if (p.value instanceof ArrayBuffer || ArrayBuffer.isView(p.value)) {
      if (p.encrypt) throw new TypeError(`Parameter "${key}": bytes cannot be encrypted; send them Base64`);
      const view = p.value instanceof ArrayBuffer ? new Uint8Array(p.value)
        : new Uint8Array(p.value.buffer, p.value.byteOffset, p.value.byteLength);
      value = bytesToBase64(view);
      flag = 'Base64';
    } else {
      const text = textOf(key, p.value);
      if (!isWellFormed(text)) throw new TypeError(`Parameter "${key}" holds a lone surrogate and has no UTF-8 form`);
      if (text.includes('\0')) throw new TypeError(`Parameter "${key}" holds a zero character, which the service cannot carry`);
      if (p.encrypt) {
        if (secret === null) secret = options.secret ?? randomSecret();
        value = await encryptForService(text, secret);
        flag = 'Encrypt';
      } else if (p.base64 || !travelsPlain(text)) {
        value = encodeBase64Utf8(text);
        flag = 'Base64';
      } else {
        value = text;
      }
    }
    entries.push([key, value]);
    if (flag) entries.push([`${key}_Kestrovan${flag}Flag`, 'true']);
    if (p.hide) entries.push([`${key}_KestrovanHide`, 'true']);
  }
  if (secret !== null) entries.push([SHARE_SECRET_KEY, secret]);
  if (options.mainThread) {
    entries.push([MAIN_THREAD_KEY, 'true', true]);
    entries.push([CALL_ID_KEY, options.callId ?? newCallId()]);
  }
  const seen = new Map();
  for (const [key] of entries) {
    const folded = key.replace(/[A-Z]/g, (c) => c.toLowerCase());
    if (seen.has(folded)) {
      throw new TypeError(`Parameter "${key}" collides with "${seen.get(folded)}": the service compares names ignoring case`);
    }
    seen.set(folded, key);
  }
  if (entries.length > MAX_PARAMETERS) {
    throw new RangeError(`A request can carry at most ${MAX_PARAMETERS} parameters, flags included (this one has ${entries.length})`);
  }
  return entries;
}

// The discovery probe: a release without a session, which has no effect.
const PROBE_PARAMETER = encodeBase64Utf8(serializeParameters([['FunctionName', 'KestrovanClose'], ['SessionId', '']]));

// ------------------------------------------------------- signals, timing

// What a deadline that passed while the browser was still asking the user
// about local network access adds to its Timeout error.
const STILL_ASKING = 'The browser is still asking whether this site may access other apps and services on this device (local network access): the user must answer "Allow" before the page can reach the Kestrovan service.';

// One signal that aborts when the caller's signal does or the deadline
// passes; reason tells which. done() must be called to drop the timer.
// asking() tells, when the deadline passes, whether the browser's
// permission question is what the call still waits for.
function deadlineSignal(parent, timeoutMs, asking = () => false) {
  const controller = new AbortController();
  let timedOut = false;
  let timer = null;
  const onAbort = () => controller.abort(parent.reason);
  if (parent) {
    if (parent.aborted) controller.abort(parent.reason);
    else parent.addEventListener('abort', onAbort, { once: true });
  }
  if (Number.isFinite(timeoutMs) && timeoutMs <= MAX_TIMER_MS) {
    timer = setTimeout(() => {
      timedOut = true;
      const message = `The call did not finish within ${timeoutMs} ms.`;
      controller.abort(asking()
        ? new KestrovanError(ErrorKind.Timeout, `${message} ${STILL_ASKING}`, { permissionState: 'prompt' })
        : new KestrovanError(ErrorKind.Timeout, message));
    }, Math.max(0, timeoutMs));
  }
  return {
    signal: controller.signal,
    get timedOut() { return timedOut; },
    done() {
      if (timer !== null) clearTimeout(timer);
      if (parent) parent.removeEventListener('abort', onAbort);
    },
  };
}

function abortReason(signal) {
  const reason = signal.reason;
  if (reason !== undefined) return reason;
  const e = new Error('The operation was aborted.');
  e.name = 'AbortError';
  return e;
}

// Resolves or rejects as promise does, unless signal aborts first (then
// rejects with its reason); promise itself goes on either way.
function untilAborted(promise, signal) {
  if (!signal) return promise;
  if (signal.aborted) return Promise.reject(abortReason(signal));
  return new Promise((resolve, reject) => {
    const onAbort = () => reject(abortReason(signal));
    signal.addEventListener('abort', onAbort, { once: true });
    promise.then(
      (value) => { signal.removeEventListener('abort', onAbort); resolve(value); },
      (error) => { signal.removeEventListener('abort', onAbort); reject(error); });
  });
}

async function permissionState() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return undefined;
  for (const name of ['loopback-network', 'local-network-access', 'local-network']) {
    try {
      const status = await permissions.query({ name });
      return status.state;
    } catch {
      // not a permission name this browser knows
    }
  }
  return undefined;
}

function causeText(error) {
  const parts = [];
  for (let e = error, depth = 0; e && depth < 4; e = e.cause, depth++) {
    if (e.code) parts.push(e.code);
    else if (e.message && depth > 0) parts.push(e.message);
  }
  return parts.join(': ');
}

// A connection that was accepted and then closed before the TLS handshake
// ended: the service does that to every program of another user. Node says
// so in the error's cause; browsers do not tell a page why a fetch failed.
function closedBeforeTls(error) {
  for (let e = error, depth = 0; e && depth < 4; e = e.cause, depth++) {
    if (e.code === 'ECONNRESET') return true;
    if (typeof e.message === 'string' && e.message.includes('before secure TLS connection')) return true;
  }
  return false;
}

// failures: what each of urls failed with (null where it was not tried).
async function unreachableError(urls, failures) {
  const cause = failures.find((failure) => failure);
  const state = await permissionState();
  const lines = [`Could not reach the Kestrovan service on this computer (tried ${urls.join(', ')}).`];
  const detail = causeText(cause);
  if (detail) lines.push(`The browser reported: ${detail}.`);
  const closed = urls.filter((url, index) => closedBeforeTls(failures[index]));
  if (closed.length > 0) {
    lines.push(`${closed.join(', ')} accepted the connection but closed it before the secure connection was set up. The Kestrovan service does that to programs of other users of this computer, so the service there most likely belongs to another user, and this user's own service is not running or could not get these ports. A firewall or another program on the port can look the same.`);
  }
  lines.push('Check that:');
  lines.push('1. the Kestrovan service is running;');
  if (globalThis.isSecureContext === false) {
    lines.push('2. this page is served over https: browsers let only secure pages reach services on this device;');
  } else if (state === 'denied') {
    lines.push('2. this site may reach apps and services on this device: the browser blocks it now (its local network access permission for this site is "denied"). Allow "Access other apps and services on this device" in the site\'s permissions (the icon left of the address), then try again;');
  } else {
    lines.push(`2. this site may reach apps and services on this device: Chromium-based browsers and Firefox ask once ("Access other apps and services on this device" / local network access; see the site settings behind the icon left of the address)${state ? ` (permission state now: ${state})` : ''};`);
  }
  lines.push(`3. the browser trusts the service's certificate: open ${urls[0]}/ in a new tab. A certificate warning means the Kestrovan local CA is not installed (run NORTAKestrovanProvision --nss); an "empty response" page means the certificate is fine.`);
  return new KestrovanError(ErrorKind.ServiceUnreachable, lines.join('\n'), { cause, urls, permissionState: state });
}

// ------------------------------------------------------------------ client

export class KestrovanClient {
  #fetch;
  #base = null;
  #search = null;
  #askingUser = 0; // searches waiting for the user's answer to the browser's permission question
  #isAskingUser = () => this.#askingUser > 0;

  // options: ports, hosts, serviceUrl (fixed base URL, skips discovery),
  // fetch, timeoutMs (default deadline per call; Infinity for none),
  // probeTimeoutMs (how long discovery waits for each address at first).
  constructor(options = {}) {
    this.ports = [...(options.ports ?? SERVICE_PORTS)];
    this.hosts = [...(options.hosts ?? SERVICE_HOSTS)];
    this.timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
    this.probeTimeoutMs = options.probeTimeoutMs ?? PROBE_TIMEOUT_MS;
    const f = options.fetch ?? globalThis.fetch;
    if (typeof f !== 'function') throw new TypeError('No fetch function available');
    this.#fetch = options.fetch ? f : f.bind(globalThis);
    this.#base = options.serviceUrl ? String(options.serviceUrl).replace(/\/+$/, '') : null;
    this.fixedUrl = this.#base !== null;
  }

  get serviceUrl() { return this.#base; }

  candidateUrls() {
    if (this.fixedUrl) return [this.#base];
    const urls = [];
    for (const host of this.hosts) for (const port of this.ports) urls.push(`https://${host}:${port}`);
    return urls;
  }

  // One POST of the Base64 request text; resolves with the decoded answer.
  // Network failures reject with the fetch error itself (the caller words it).
  async #post(base, parameter, signal) {
    const response = await this.#fetch(`${base}/`, {
      method: 'POST',
      body: new URLSearchParams({ Parameter: parameter }),
      credentials: 'omit',
      redirect: 'error',
      signal,
    });
    const text = await response.text();
    if (response.status !== 200) {
      throw new KestrovanError(ErrorKind.BadAnswer, `The service answered with HTTP status ${response.status}.`, { answer: text });
    }
    return decodeAnswer(text);
  }

  // A request with no effect that the service answers with a new "SessionID"
  // only (or, when it refuses this page, with a result code): proof that the
  // service, and not something else, listens there. Resolves with null when
  // it does, else with what went wrong. It waits as long as signal lets it:
  // the service answers nothing while an adapter call runs.
  async #probe(base, signal) {
    try {
      const answer = await this.#post(base, PROBE_PARAMETER, signal);
      if (typeof answer.SessionID === 'string' && answer.SessionID !== '') return null;
      if (resultCodeOf(answer.result) !== null) return null;
      return new KestrovanError(ErrorKind.BadAnswer, `${base} answered, but not like the Kestrovan service.`, { answer });
    } catch (error) {
      if (signal.aborted) throw abortReason(signal);
      return error;
    }
  }

  // Finds the service: the first of 127.0.0.1 then localhost, on 56459,
  // 56559, 56659 in order, that answers like the service. Remembered until a
  // call finds it gone. Callers that come while a search runs share it, each
  // waiting with its own signal; the search stops once none waits any more.
  // options: signal, timeoutMs (default the client's).
  async locate(options = {}) {
    const guard = deadlineSignal(options.signal, options.timeoutMs ?? this.timeoutMs, this.#isAskingUser);
    try {
      return await this.#locate(guard.signal);
    } finally {
      guard.done();
    }
  }

  async #locate(signal) {
    if (signal.aborted) throw abortReason(signal);
    if (this.#base !== null) return this.#base;
    let search = this.#search;
    if (!search) {
      search = { controller: new AbortController(), waiters: 0, promise: null };
      search.promise = this.#find(search.controller.signal)
        .finally(() => { if (this.#search === search) this.#search = null; });
      search.promise.catch(() => {}); // a search all callers left ends unheard
      this.#search = search;
    }
    search.waiters++;
    try {
      return await untilAborted(search.promise, signal);
    } finally {
      if (--search.waiters === 0) {
        if (this.#search === search) this.#search = null;
        search.controller.abort();
      }
    }
  }

  // Probes the candidates in order, each for probeTimeoutMs at first. The
  // service answers nothing while an adapter call runs (one waiting for a
  // PIN may take minutes), so a probe that got no answer in that time is not
  // given up: it goes on while the later candidates are tried, and the first
  // probe to find the service wins. Only refusals and wrong answers count as
  // "not there"; silence lasts as long as a caller waits.
  async #find(signal) {
    const urls = this.candidateUrls();
    // While the browser asks the user for the local-network permission,
    // the first request waits for the answer: no moving on meanwhile.
    const asking = (await permissionState()) === 'prompt';
    const probeMs = asking ? Infinity : this.probeTimeoutMs;
    const failures = new Array(urls.length).fill(null);
    const probes = new AbortController();
    const onAbort = () => probes.abort(signal.reason);
    signal.addEventListener('abort', onAbort, { once: true });
    if (asking) this.#askingUser++;
    try {
      const found = await new Promise((resolveOnce, rejectOnce) => {
        let next = 0;
        let running = 0;
        let over = false;
        const resolve = (url) => { over = true; resolveOnce(url); };
        const reject = (error) => { over = true; rejectOnce(error); };
        const give = () => {
          if (over) return;
          if (next === urls.length) {
            if (running === 0) resolve(null);
            return;
          }
          const index = next++;
          let movedOn = false;
          running++;
          const timer = Number.isFinite(probeMs) && probeMs <= MAX_TIMER_MS
            ? setTimeout(() => { movedOn = true; give(); }, Math.max(0, probeMs)) : null;
          this.#probe(urls[index], probes.signal).then((failure) => {
            clearTimeout(timer);
            running--;
            if (failure === null) {
              resolve(urls[index]);
              return;
            }
            failures[index] = failure;
            if (!movedOn) give();
            else if (next === urls.length && running === 0) resolve(null);
          }, (error) => {
            clearTimeout(timer);
            reject(error);
          });
        };
        give();
      });
      if (found !== null) return this.#found(found);
    } finally {
      if (asking) this.#askingUser--;
      signal.removeEventListener('abort', onAbort);
      probes.abort();
    }
    throw await unreachableError(urls, failures);
  }

  #found(url) {
    this.#base = url;
    return url;
  }

  // Sends one exchange, diagnosing a failed fetch: if the service still
  // answers a probe, it refused this request without an answer; otherwise it
  // is unreachable (and will be looked for again next time).
  async #exchange(parameter, signal) {
    const base = await this.#locate(signal);
    try {
      return await this.#post(base, parameter, signal);
    } catch (error) {
      if (error instanceof KestrovanError) throw error;
      if (signal.aborted) throw error;
      // A service busy with a long adapter call answers the probe only after
      // it: the probe gets the call's own deadline, not a few seconds.
      if (await this.#probe(base, signal) === null) {
        throw new KestrovanError(ErrorKind.NoAnswer,
          'The service closed the connection without answering this request (it sends no answer to requests it cannot read or refuses on the transport level).',
          { cause: error });
      }
      if (!this.fixedUrl && this.#base === base) this.#base = null;
      throw await unreachableError([base], [error]);
    }
  }

  // Low-level call: sends FunctionName, SessionId and params; returns the
  // decoded answer object. With mainThread the call runs on the service's
  // main thread and "heartbeat" answers are re-sent until the result comes,
  // the deadline (timeoutMs) passes or signal aborts. The request carries a
  // call identifier of its own, the same on every re-send, so the service
  // runs the call once and hands its result to this call alone; calls of
  // other tabs, sessions or clients go on meanwhile. A call given up on
  // still runs, and the service drops its result after about two minutes.
  async send(functionName, params = {}, options = {}) {
    const name = String(functionName);
    const sessionId = String(options.sessionId ?? '');
    checkFixedText('FunctionName', name);
    checkFixedText('SessionId', sessionId);
    const fixed = [['FunctionName', name], ['SessionId', sessionId]];
    const entries = await prepareParameters(params, { fixed, secret: options.secret, mainThread: !!options.mainThread });
    const parameter = encodeBase64Utf8(serializeParameters(entries));
    const guard = deadlineSignal(options.signal, options.timeoutMs ?? this.timeoutMs, this.#isAskingUser);
    try {
      if (!options.mainThread) return await this.#exchange(parameter, guard.signal);
      return await this.#mainThreadCall(parameter, guard.signal, options.onHeartbeat);
    } catch (error) {
      // A fetch cut short by the deadline or the caller's signal reports the
      // reason: the Timeout error, or whatever the caller aborted with.
      if (guard.signal.aborted) throw abortReason(guard.signal);
      throw error;
    } finally {
      guard.done();
    }
  }

  async #mainThreadCall(parameter, signal, onHeartbeat) {
    let heartbeats = 0;
    for (;;) {
      const answer = await this.#exchange(parameter, signal);
      if (answer.result !== HEARTBEAT) return answer;
      heartbeats++;
      if (onHeartbeat) onHeartbeat(heartbeats);
      if (signal.aborted) throw abortReason(signal);
    }
  }

  // Opens a session with an echo: loads the adapter for this page's origin,
  // checks the minimum versions, and answers the versions.
  async openSession(options = {}) {
    const params = {
      InstallerName: options.installerName ?? '',
      minServerVersion: options.minServerVersion ?? '0.0.0.0',
      minLibVersion: options.minLibVersion ?? '',
      KestrovanMode: options.browserMode ? '1' : '0',
    };
    if (options.libDir !== undefined || options.comName !== undefined) {
      params.LibDir = options.libDir ?? '';
      params.ComName = options.comName ?? '';
      if (options.pathId !== undefined) params.PathID = options.pathId;
    } else {
      params.PathID = options.pathId ?? DEFAULT_PATH_ID;
    }
    // In main-thread mode an adapter that asks the user at opening (a consent
    // dialog) may take longer than the service's wait: heartbeats keep it.
    const answer = await this.send('KestrovanEcho', params, {
      signal: options.signal, timeoutMs: options.timeoutMs, mainThread: !!options.mainThread, onHeartbeat: options.onHeartbeat,
    });
    checkOpened(answer);
    return new KestrovanSession(this, answer, !!options.browserMode);
  }
}

function checkChannel(channel) {
  if (typeof channel !== 'string' || channel === '') throw new TypeError('A channel must be a non-empty string');
}

function checkOpened(answer) {
  if (!('result' in answer)) {
    throw new KestrovanError(ErrorKind.AdapterInitFailed,
      'The adapter was loaded but gave no version, so the service closed the session.', { answer });
  }
  if (answer.result === '0') return;
  const code = resultCodeOf(answer.result);
  if (code !== null) throw errorForCode(code, 'open', answer);
  throw new KestrovanError(ErrorKind.AdapterRefused,
    `The adapter refused this page: ${answer.result}`, { result: answer.result, answer });
}

export class KestrovanSession {
  #client;

  constructor(client, answer, browserMode) {
    this.#client = client;
    this.id = answer.SessionID;
    this.browserMode = browserMode;
    this.closed = false;
    this.#versions(answer);
  }

  #versions(answer) {
    this.serverVersion = answer.ServerVersion;
    this.libVersion = answer.LibVersion;
    this.installerVersion = answer.InstallerVersion;
  }

  get client() { return this.#client; }

  async #send(functionName, params, options = {}) {
    if (this.closed) throw new KestrovanError(ErrorKind.SessionClosed, 'This session has been closed.');
    const answer = await this.#client.send(functionName, params, { ...options, sessionId: this.id });
    if (answer.result === '61001' && Object.keys(answer).length === 1 && options.context !== 'getValue') {
      this.closed = true;
    }
    return answer;
  }

  // Calls an adapter function; resolves with its answer text. A result that
  // is an error code (61000..61999) rejects with a KestrovanError unless
  // options.raw is set. options: mainThread, timeoutMs, signal, secret,
  // hideResult, onHeartbeat, raw.
  async call(functionName, params = {}, options = {}) {
    const all = options.hideResult ? { ...params, hide_result: 'true' } : params;
    const answer = await this.#send(functionName, all, options);
    if (!('result' in answer)) {
      throw new KestrovanError(ErrorKind.NoResult, `The service gave no result for ${functionName}.`, { answer });
    }
    if (!options.raw) {
      const code = resultCodeOf(answer.result);
      if (code !== null) throw errorForCode(code, 'call', answer);
    }
    return answer.result;
  }

  // Asks the versions again (those found when the session opened).
  async echo(options = {}) {
    const answer = await this.#send('KestrovanEcho', {}, options);
    checkOpened(answer);
    this.#versions(answer);
    return { serverVersion: this.serverVersion, libVersion: this.libVersion, installerVersion: this.installerVersion };
  }

  // Stores a value under channel for the origins that domains permit (an
  // array of patterns or one ";"-separated text), for timeoutMinutes of idle
  // time (0: no expiry). A channel whose live value does not list this
  // page's origin is refused (ValueChannelTaken).
  async setValue(channel, value, options = {}) {
    const domains = Array.isArray(options.domains) ? options.domains.join(';') : (options.domains ?? '');
    const minutes = options.timeoutMinutes ?? 0;
    if (!Number.isInteger(minutes) || minutes < 0 || minutes > 35791394) {
      throw new RangeError('timeoutMinutes must be a whole number from 0 to 35791394');
    }
    checkChannel(channel);
    if (typeof domains !== 'string') throw new TypeError('domains must be an array of patterns or one text');
    const answer = await this.#send('setKestrovanValue',
      { channel, domain_list: domains, timeout: String(minutes), value }, { ...options, context: 'setValue' });
    if (answer.result === '0') return;
    const code = resultCodeOf(answer.result);
    throw code !== null ? errorForCode(code, 'setValue', answer)
      : new KestrovanError(ErrorKind.BadAnswer, `Unexpected answer to setValue: ${answer.result}`, { answer });
  }

  // Reads a value; resolves with '' when there is nothing this page may read
  // (unknown channel, origin not permitted, value expired).
  async getValue(channel, options = {}) {
    checkChannel(channel);
    const answer = await this.#send('getKestrovanValue', { channel }, { ...options, context: 'getValue' });
    if (!('result' in answer)) throw new KestrovanError(ErrorKind.NoResult, 'The service gave no result for getValue.', { answer });
    // The store answers "result" alone in every case, so a stored text equal
    // to "61001" cannot be told from the failure to open a value.
    if (answer.result === '61001') throw errorForCode(61001, 'getValue', answer);
    return answer.result;
  }

  // Ends the session, unless it was opened in browser mode (then the service
  // keeps it and so does this object).
  async close(options = {}) {
    if (this.closed) return;
    await this.#send('KestrovanClose', {}, options);
    if (!this.browserMode) this.closed = true;
  }

  // Ends the session whatever its mode.
  async forceRelease(options = {}) {
    if (this.closed) return;
    await this.#send('KestrovanForceRelease', {}, options);
    this.closed = true;
  }
}

// Convenience: one client per page is enough.
export function createClient(options) {
  return new KestrovanClient(options);
}
