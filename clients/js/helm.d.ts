// SPDX-License-Identifier: Apache-2.0
// Types of helm.js: the PKI adapter from a web page.
import type { KestrovanClient, KestrovanSession, OpenOptions, Params } from './kestrovan.js';
import type { AuthenticationAnswer } from './verify-authentication.js';

export declare const PKI_PATH_ID: string;
/** The default deadline of calls that may wait for the user (10 minutes). */
export declare const USER_WAIT_MS: number;

// generated from adapters/helm/helm.h by scripts/codes.py: change the header, then run it
export declare const HelmCode: Readonly<{
  OK: 0;
  BAD_PARAMETER: 71001;
  UNKNOWN_FUNCTION: 71002;
  UNKNOWN_CERTIFICATE: 71003;
  WRONG_PIN: 71004;
  TOKEN_LOCKED: 71005;
  CERTIFICATE_EXPIRED: 71006;
  CERTIFICATE_NOT_YET_VALID: 71007;
  KEY_USAGE: 71008;
  PKCS12_UNREADABLE: 71009;
  TOKEN: 71010;
  KEY_NOT_FOUND: 71011;
  SIGNING_FAILED: 71012;
  SIGNATURE_INVALID: 71013;
  SIGNER_UNTRUSTED: 71014;
  CMS_MALFORMED: 71015;
  ORIGIN_NOT_ALLOWED: 71016;
  TOO_LARGE: 71017;
  UNSUPPORTED: 71018;
  INTERNAL: 71019;
  PAGE_PIN_REFUSED: 71020;
  CANCELLED: 71021;
  NO_DIALOG: 71022;
  NOT_FOR_SIGNING: 71023;
  NOT_FOR_AUTHENTICATION: 71024;
  USE_SELECT_CERTIFICATE: 71050;
  NOT_CHOSEN: 71051;
  BATCH_TOO_LARGE: 71052;
  PIN_PER_SIGNATURE: 71053;
}>;

/** error.kind of a KestrovanError for one of the PKI adapter's codes. */
export type HelmErrorKindName =
  | 'BadParameter'
  | 'UnknownFunction'
  | 'UnknownCertificate'
  | 'WrongPin'
  | 'TokenLocked'
  | 'CertificateExpired'
  | 'CertificateNotYetValid'
  | 'KeyUsage'
  | 'Pkcs12Unreadable'
  | 'TokenFailure'
  | 'KeyNotFound'
  | 'SigningFailed'
  | 'SignatureInvalid'
  | 'SignerUntrusted'
  | 'CmsMalformed'
  | 'OriginNotAllowed'
  | 'TooLarge'
  | 'Unsupported'
  | 'AdapterInternal'
  | 'PagePinRefused'
  | 'Cancelled'
  | 'NoDialog'
  | 'NotForSigning'
  | 'NotForAuthentication'
  | 'UseSelectCertificate'
  | 'NotChosen'
  | 'BatchTooLarge'
  | 'PinPerSignature';
// end of generated part

export declare const HelmErrorKind: Readonly<Record<HelmErrorKindName, HelmErrorKindName>>;

/** A KestrovanError for an answer {"code":..., "message":...}. */
export declare function helmError(answer: { code: number; message?: string }): Error;

export interface PkiCallOptions {
  /** Default USER_WAIT_MS: dialogs wait for the user. */
  timeoutMs?: number;
  signal?: AbortSignal;
  onHeartbeat?: (count: number) => void;
}

export interface SigningOptions extends PkiCallOptions {
  /** What is signed, in the site's words: shown in the PIN dialog, marked as the site's. */
  description?: string;
  /** Only for sites the user's settings allow to send the PIN (kiosks); otherwise PagePinRefused. */
  pin?: string;
  digest?: 'sha256' | 'sha384' | 'sha512';
}

export interface CertificateDetails {
  id: string; subject: string; commonName: string; issuer: string; serial: string;
  notBefore: string; notAfter: string; keyAlgorithm: string; keyUsage: string[] | null;
  expired: boolean; notYetValid: boolean; canSign: boolean;
  location: { type: 'pkcs11'; token: string; tokenUrl: string; label: string } | { type: 'pkcs12'; file: string };
}

export interface CertificateFilters {
  purpose?: 'signing' | 'authentication';
  /** A part of the issuer's name, any case. */
  issuer?: string;
  /** A certificate policy OID, dotted. */
  policy?: string;
  keyUsage?: ('digitalSignature' | 'nonRepudiation' | 'keyEncipherment' | 'dataEncipherment' | 'keyAgreement')[];
  /** Default true: only certificates valid now. */
  validNow?: boolean;
  /** The site's words, shown in the dialog marked as the site's. */
  description?: string;
}

export type BatchResult =
  | { name: string; code: 0; cms: string }
  | { name: string; code: number; message: string };

/** Opens a PKI session on the service's main thread (a consent dialog may come first). */
export declare function openPki(client: KestrovanClient, options?: OpenOptions): Promise<PkiSession>;

export declare class PkiSession {
  constructor(session: KestrovanSession);
  readonly session: KestrovanSession;
  readonly id: string;
  readonly libVersion: string | undefined;
  call(functionName: string, params?: Params, options?: PkiCallOptions): Promise<Record<string, unknown>>;
  listCertificates(options?: PkiCallOptions & { all?: boolean }): Promise<{
    code: 0; certificates: CertificateDetails[]; problems: { location: string; code: number; message: string }[];
  }>;
  /** id left out: the certificate the user chose for this site. */
  getCertificate(id?: string, options?: PkiCallOptions): Promise<CertificateDetails & { code: 0; pem: string }>;
  /** The user chooses one certificate in a dialog naming the site; Cancelled when none. */
  selectCertificate(filters?: CertificateFilters, options?: PkiCallOptions):
    Promise<CertificateDetails & { code: 0; pem: string }>;
  /** Several documents with one dialog and one PIN; a result per document, in order. */
  signCmsBatch(documents: { name: string; data: Uint8Array | string }[], options?: SigningOptions & {
    id?: string; attached?: boolean; includeTime?: boolean;
  }): Promise<{ code: 0; id: string; cancelled: boolean; results: BatchResult[] }>;
  signCms(id: string, data: Uint8Array | string, options?: SigningOptions & {
    attached?: boolean; includeTime?: boolean;
  }): Promise<{ code: 0; id: string; cms: string; attached: boolean; digest: string }>;
  signRaw(id: string, data: Uint8Array | string, options?: SigningOptions & {
    scheme?: 'pkcs1' | 'pss'; hashed?: boolean;
  }): Promise<{ code: 0; id: string; signature: string; algorithm: string }>;
  /** challenge: the site's server's random bytes (or their Base64), at least 32. */
  authenticate(id: string, challenge: Uint8Array | string, options?: PkiCallOptions & {
    description?: string; pin?: string;
  }): Promise<AuthenticationAnswer>;
  verifyCms(cms: Uint8Array | string, options: PkiCallOptions & { data?: Uint8Array | string; trustAnchors: string }):
    Promise<Record<string, unknown>>;
  hash(data: Uint8Array | string, options?: PkiCallOptions & { algorithm?: string }):
    Promise<{ code: 0; algorithm: string; hash: string; hex: string }>;
  info(options?: PkiCallOptions): Promise<Record<string, unknown>>;
  close(options?: PkiCallOptions): Promise<void>;
}
