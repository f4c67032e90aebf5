// SPDX-License-Identifier: Apache-2.0
// helm.js -- the PKI adapter (HelmPKICryptAdapter) from a web page, on top
// of kestrovan.js: opens its session, calls its functions, reads its JSON
// answers and turns its codes into named errors. Types in helm.d.ts.
//
// The user stays in the loop: a site not yet allowed is asked about in a
// native dialog when its session opens, and the PIN is typed into a dialog
// that names the site, never into the page. Calls that may wait for the user
// run on the service's main thread with a long deadline; heartbeats keep
// them alive.
import { DEFAULT_PATH_ID, ErrorKind, KestrovanError, hidden } from './kestrovan.js';

export const PKI_PATH_ID = DEFAULT_PATH_ID;
// Long enough for a consent dialog and a few PIN dialogs (a minute each by default).
export const USER_WAIT_MS = 10 * 60 * 1000;

// generated from adapters/helm/helm.h by scripts/codes.py: change the header, then run it
export const HelmCode = Object.freeze({
  OK: 0,
  BAD_PARAMETER: 71001,
  UNKNOWN_FUNCTION: 71002,
  UNKNOWN_CERTIFICATE: 71003,
  WRONG_PIN: 71004,
  TOKEN_LOCKED: 71005,
  CERTIFICATE_EXPIRED: 71006,
  CERTIFICATE_NOT_YET_VALID: 71007,
  KEY_USAGE: 71008,
  PKCS12_UNREADABLE: 71009,
  TOKEN: 71010,
  KEY_NOT_FOUND: 71011,
  SIGNING_FAILED: 71012,
  SIGNATURE_INVALID: 71013,
  SIGNER_UNTRUSTED: 71014,
  CMS_MALFORMED: 71015,
  ORIGIN_NOT_ALLOWED: 71016,
  TOO_LARGE: 71017,
  UNSUPPORTED: 71018,
  INTERNAL: 71019,
  PAGE_PIN_REFUSED: 71020,
  CANCELLED: 71021,
  NO_DIALOG: 71022,
  NOT_FOR_SIGNING: 71023,
  NOT_FOR_AUTHENTICATION: 71024,
  LEVEL_NOT_REACHED: 71030,
  TSA_NOT_CONFIGURED: 71031,
  TSA_UNREACHABLE: 71032,
  TSA_REJECTED: 71033,
  TSA_INVALID: 71034,
  SIGNER_REVOKED: 71035,
  REVOCATION_UNKNOWN: 71036,
  USE_SELECT_CERTIFICATE: 71050,
  NOT_CHOSEN: 71051,
  BATCH_TOO_LARGE: 71052,
  PIN_PER_SIGNATURE: 71053,
});

// kind, what to tell the user.
const HELM_TEXT = new Map([
  [71001, ['BadParameter', 'A parameter is missing or malformed.']],
  [71002, ['UnknownFunction', 'The PKI adapter has no such function.']],
  [71003, ['UnknownCertificate', 'No certificate with this id: list the certificates again.']],
  [71004, ['WrongPin', 'The PIN (or the key file\'s password) was wrong.']],
  [71005, ['TokenLocked', 'The token\'s PIN is locked: it must be unlocked with its administrator PIN.']],
  [71006, ['CertificateExpired', 'The certificate has expired.']],
  [71007, ['CertificateNotYetValid', 'The certificate is not valid yet.']],
  [71008, ['KeyUsage', 'The certificate is not meant for this use.']],
  [71009, ['Pkcs12Unreadable', 'A key file cannot be read.']],
  [71010, ['TokenFailure', 'The token is missing or not working (or in use by another program).']],
  [71011, ['KeyNotFound', 'No private key belongs to this certificate.']],
  [71012, ['SigningFailed', 'Signing failed.']],
  [71013, ['SignatureInvalid', 'The signature does not match the data.']],
  [71014, ['SignerUntrusted', 'The signer does not chain to the given trust anchors.']],
  [71015, ['CmsMalformed', 'This is not a CMS signature.']],
  [71016, ['OriginNotAllowed', 'This site may not use the certificates: the user denied it, did not answer, or no dialog could ask.']],
  [71017, ['TooLarge', 'An input is too large.']],
  [71018, ['Unsupported', 'The algorithm or scheme is not supported.']],
  [71019, ['AdapterInternal', 'The PKI adapter failed (out of memory).']],
  [71020, ['PagePinRefused', 'This site may not send the PIN: leave it out and the user types it in a dialog.']],
  [71021, ['Cancelled', 'The user cancelled the dialog (or let it time out).']],
  [71022, ['NoDialog', 'No dialog can be shown on this computer to ask the user (no graphical session or no pinentry program).']],
  [71023, ['NotForSigning', 'This certificate is for logging in, not for signing: choose a signing certificate.']],
  [71024, ['NotForAuthentication', 'This certificate is for signing, not for logging in: choose a certificate for logging in.']],
  [71030, ['LevelNotReached', 'The signature level asked for cannot be reached.']],
  [71031, ['TsaNotConfigured', 'A timestamp is needed and no timestamp authority is set up.']],
  [71032, ['TsaUnreachable', 'No timestamp authority answered.']],
  [71033, ['TsaRejected', 'The timestamp authority refused the request.']],
  [71034, ['TsaInvalid', 'The timestamp authority\'s answer failed its checks.']],
  [71035, ['SignerRevoked', 'A certificate of the signer was revoked, and nothing proves the signature was made before.']],
  [71036, ['RevocationUnknown', 'Whether the signer\'s certificate was revoked cannot be learnt now: try again later.']],
  [71050, ['UseSelectCertificate', 'This site may not list the certificates: let the user choose one (selectCertificate).']],
  [71051, ['NotChosen', 'The user did not choose this certificate for this site: let the user choose one (selectCertificate).']],
  [71052, ['BatchTooLarge', 'Too many documents (or bytes) for one batch: split it.']],
  [71053, ['PinPerSignature', 'This key asks for its PIN before every signature: sign these documents one by one.']],
]);
// end of generated part

// Signature levels signCms makes and verifyCms finds ('none': not even B-B).
export const SignatureLevel = Object.freeze({ B_B: 'B-B', B_T: 'B-T', B_LT: 'B-LT', B_LTA: 'B-LTA', NONE: 'none' });

// A validator's verdict in verifyCms's answer (indication, subIndication).
export const Indication = Object.freeze({
  TOTAL_PASSED: 'TOTAL_PASSED', TOTAL_FAILED: 'TOTAL_FAILED', INDETERMINATE: 'INDETERMINATE',
});
export const SubIndication = Object.freeze({
  NONE: '', HASH_FAILURE: 'HASH_FAILURE', SIG_CRYPTO_FAILURE: 'SIG_CRYPTO_FAILURE', FORMAT_FAILURE: 'FORMAT_FAILURE',
  NO_SIGNING_CERTIFICATE_FOUND: 'NO_SIGNING_CERTIFICATE_FOUND', NO_CERTIFICATE_CHAIN_FOUND: 'NO_CERTIFICATE_CHAIN_FOUND',
  OUT_OF_BOUNDS_NO_POE: 'OUT_OF_BOUNDS_NO_POE', REVOKED_NO_POE: 'REVOKED_NO_POE', REVOKED_CA_NO_POE: 'REVOKED_CA_NO_POE',
  TRY_LATER: 'TRY_LATER',
});

export const HelmErrorKind = Object.freeze(Object.fromEntries([...HELM_TEXT.values()].map(([kind]) => [kind, kind])));

// The error for one of the adapter's answers ({"code":...,"message":...}).
export function helmError(answer) {
  const known = HELM_TEXT.get(Number(answer.code));
  const kind = known ? known[0] : ErrorKind.AdapterError;
  const words = known ? known[1] : 'The PKI adapter reported an error.';
  const detail = typeof answer.message === 'string' && answer.message !== '' ? ` (${answer.message})` : '';
  return new KestrovanError(kind, `PKI adapter error ${answer.code}: ${words}${detail}`,
    { code: Number(answer.code), answer: JSON.stringify(answer) });
}

function parseAnswer(text) {
  let answer;
  try {
    answer = JSON.parse(text);
  } catch {
    throw new KestrovanError(ErrorKind.BadAnswer, `The PKI adapter's answer is not JSON: ${String(text).slice(0, 200)}`, { answer: text });
  }
  if (answer === null || typeof answer !== 'object' || typeof answer.code !== 'number') {
    throw new KestrovanError(ErrorKind.BadAnswer, 'The PKI adapter\'s answer has no code.', { answer: text });
  }
  if (answer.code !== 0) throw helmError(answer);
  return answer;
}

// Bytes from a Uint8Array, or from Base64 text.
function challengeBytes(challenge) {
  if (challenge instanceof Uint8Array) return challenge;
  if (typeof challenge === 'string') return Uint8Array.from(atob(challenge), (c) => c.charCodeAt(0));
  throw new TypeError('A challenge is a Uint8Array or Base64 text');
}

// Opens a session on the PKI adapter. On the service's main thread: a site
// the user has not allowed yet waits for the answer to the consent dialog.
export async function openPki(client, options = {}) {
  try {
    const session = await client.openSession({
      ...options,
      pathId: options.pathId ?? PKI_PATH_ID,
      mainThread: true,
      timeoutMs: options.timeoutMs ?? USER_WAIT_MS,
    });
    return new PkiSession(session);
  } catch (error) {
    // The adapter's refusal at opening is one of its own answers.
    if (error instanceof KestrovanError && error.kind === ErrorKind.AdapterRefused && typeof error.result === 'string') {
      parseAnswer(error.result);
    }
    throw error;
  }
}

export class PkiSession {
  constructor(session) {
    this.session = session;
  }

  get id() { return this.session.id; }
  get libVersion() { return this.session.libVersion; }

  // One adapter function on the main thread; its JSON answer, or a named error.
  async call(functionName, params = {}, options = {}) {
    const text = await this.session.call(functionName, params, {
      mainThread: true,
      timeoutMs: options.timeoutMs ?? USER_WAIT_MS,
      signal: options.signal,
      onHeartbeat: options.onHeartbeat,
    });
    return parseAnswer(text);
  }

  // The PIN only for sites the user's settings let send one (kiosks).
  static #signingParams(id, data, options) {
    const params = { id, data };
    if (options.description !== undefined) params.description = String(options.description);
    if (options.pin !== undefined) params.pin = hidden(options.pin);
    return params;
  }

  async listCertificates(options = {}) {
    return this.call('ListCertificates', options.all ? { all: 'true' } : {}, options);
  }

  // id may be left out: the certificate the user chose for this site.
  async getCertificate(id, options = {}) {
    return this.call('GetCertificate', id ? { id } : {}, options);
  }

  // The user chooses one certificate in a dialog naming the site; the page
  // receives that one (GetCertificate's answer), or a Cancelled error.
  // filters: purpose ('signing' or 'authentication'), issuer (a part of the
  // issuer's name), policy (an OID), keyUsage (names, e.g.
  // ['nonRepudiation']), validNow (default true), description (the site's
  // words, shown as such). The choice holds for the session: the other
  // functions take it when given no id.
  async selectCertificate(filters = {}, options = {}) {
    const params = {};
    for (const key of ['purpose', 'issuer', 'policy', 'description']) {
      if (filters[key] !== undefined) params[key] = String(filters[key]);
    }
    if (filters.keyUsage !== undefined) {
      params.keyUsage = Array.isArray(filters.keyUsage) ? filters.keyUsage.join(',') : String(filters.keyUsage);
    }
    if (filters.validNow !== undefined) params.validNow = filters.validNow ? 'true' : 'false';
    return this.call('SelectCertificate', params, options);
  }

  // Several documents, one dialog, one PIN: documents is a list of { name,
  // data } (data a Uint8Array or a text). Answers { cancelled, results }
  // with one result per document in order: { name, code, cms } or { name,
  // code, message } (code 71021 for those left when the user stopped).
  async signCmsBatch(documents, options = {}) {
    const encoder = new TextEncoder();
    const b64 = (bytes) => {
      let text = '';
      for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      return btoa(text);
    };
    const entries = documents.map(({ name, data }) => {
      const bytes = data instanceof Uint8Array ? data : encoder.encode(String(data));
      return `${b64(encoder.encode(String(name)))}:${b64(bytes)}`;
    });
    const params = { documents: entries.join(',') };
    if (options.id !== undefined) params.id = options.id;
    for (const key of ['attached', 'includeTime']) {
      if (options[key] !== undefined) params[key] = options[key] ? 'true' : 'false';
    }
    if (options.digest !== undefined) params.digest = options.digest;
    if (options.description !== undefined) params.description = String(options.description);
    if (options.pin !== undefined) params.pin = hidden(options.pin);
    return this.call('SignCmsBatch', params, options);
  }

  // data: a Uint8Array, or a text (its UTF-8 bytes). options: attached,
  // digest, level (a SignatureLevel; B-B when absent), description (shown
  // to the user as the site's words), and the call options. The answer
  // names the level reached; one that cannot be reached is an error.
  async signCms(id, data, options = {}) {
    const params = PkiSession.#signingParams(id, data, options);
    if (options.level !== undefined) {
      if (!Object.values(SignatureLevel).includes(options.level) || options.level === SignatureLevel.NONE) {
        throw new TypeError('level is one of SignatureLevel: B-B, B-T, B-LT or B-LTA');
      }
      params.level = options.level;
    }
    for (const key of ['attached', 'includeTime']) {
      if (options[key] !== undefined) params[key] = options[key] ? 'true' : 'false';
    }
    if (options.digest !== undefined) params.digest = options.digest;
    return this.call('SignCms', params, options);
  }

  // options: digest, scheme ('pkcs1' or 'pss'), hashed, description.
  async signRaw(id, data, options = {}) {
    const params = PkiSession.#signingParams(id, data, options);
    if (options.digest !== undefined) params.digest = options.digest;
    if (options.scheme !== undefined) params.scheme = options.scheme;
    if (options.hashed !== undefined) params.hashed = options.hashed ? 'true' : 'false';
    return this.call('SignRaw', params, options);
  }

  // Proves to the site's server that the user holds the certificate's key:
  // challenge is the server's random bytes (a Uint8Array or Base64, at least
  // 32 bytes). Send the answer to the server, which checks it with
  // verify-authentication.mjs.
  async authenticate(id, challenge, options = {}) {
    const params = { id, challenge: challengeBytes(challenge) };
    if (options.description !== undefined) params.description = String(options.description);
    if (options.pin !== undefined) params.pin = hidden(options.pin);
    return this.call('Authenticate', params, options);
  }

  // Raises a signature the adapter (or another signer) made at B-B to
  // options.level (a SignatureLevel, B-T when absent) without its key: the
  // timestamp and revocation data come from the user's settings.
  async extendCms(cms, options = {}) {
    const params = { cms };
    if (options.level !== undefined) {
      if (![SignatureLevel.B_T, SignatureLevel.B_LT, SignatureLevel.B_LTA].includes(options.level)) {
        throw new TypeError('level is B-T, B-LT or B-LTA');
      }
      params.level = options.level;
    }
    return this.call('ExtendCms', params, options);
  }

  async verifyCms(cms, options = {}) {
    const params = { cms };
    if (options.trustAnchors !== undefined) params.trustAnchors = options.trustAnchors;
    if (options.data !== undefined) params.data = options.data;
    return this.call('VerifyCms', params, options);
  }

  async hash(data, options = {}) {
    const params = { data };
    if (options.algorithm !== undefined) params.algorithm = options.algorithm;
    return this.call('Hash', params, options);
  }

  async info(options = {}) {
    return this.call('GetInfo', {}, options);
  }

  async close(options = {}) {
    return this.session.close(options);
  }
}
