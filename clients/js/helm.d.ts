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
  LEVEL_NOT_REACHED: 71030;
  TSA_NOT_CONFIGURED: 71031;
  TSA_UNREACHABLE: 71032;
  TSA_REJECTED: 71033;
  TSA_INVALID: 71034;
  SIGNER_REVOKED: 71035;
  REVOCATION_UNKNOWN: 71036;
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
  | 'LevelNotReached'
  | 'TsaNotConfigured'
  | 'TsaUnreachable'
  | 'TsaRejected'
  | 'TsaInvalid'
  | 'SignerRevoked'
  | 'RevocationUnknown'
  | 'UseSelectCertificate'
  | 'NotChosen'
  | 'BatchTooLarge'
  | 'PinPerSignature';
// end of generated part

export type SignatureLevelName = 'B-B' | 'B-T' | 'B-LT' | 'B-LTA';
export declare const SignatureLevel: Readonly<{ B_B: 'B-B'; B_T: 'B-T'; B_LT: 'B-LT'; B_LTA: 'B-LTA'; NONE: 'none' }>;
export type IndicationName = 'TOTAL_PASSED' | 'TOTAL_FAILED' | 'INDETERMINATE';
export declare const Indication: Readonly<{ [K in IndicationName]: K }>;
export type SubIndicationName = '' | 'HASH_FAILURE' | 'SIG_CRYPTO_FAILURE' | 'FORMAT_FAILURE' |
  'NO_SIGNING_CERTIFICATE_FOUND' | 'NO_CERTIFICATE_CHAIN_FOUND' | 'OUT_OF_BOUNDS_NO_POE' | 'REVOKED_NO_POE' |
  'REVOKED_CA_NO_POE' | 'TRY_LATER';
export declare const SubIndication: Readonly<{
  NONE: ''; HASH_FAILURE: 'HASH_FAILURE'; SIG_CRYPTO_FAILURE: 'SIG_CRYPTO_FAILURE'; FORMAT_FAILURE: 'FORMAT_FAILURE';
  NO_SIGNING_CERTIFICATE_FOUND: 'NO_SIGNING_CERTIFICATE_FOUND'; NO_CERTIFICATE_CHAIN_FOUND: 'NO_CERTIFICATE_CHAIN_FOUND';
  OUT_OF_BOUNDS_NO_POE: 'OUT_OF_BOUNDS_NO_POE'; REVOKED_NO_POE: 'REVOKED_NO_POE'; REVOKED_CA_NO_POE: 'REVOKED_CA_NO_POE';
  TRY_LATER: 'TRY_LATER';
}>;

/** One certificate of a signer's chain (below the anchor) and its revocation. */
export interface ChainCertificate {
  subject: string; revocation: 'good' | 'revoked' | 'unknown' | 'unchecked'; revocationSource: 'embedded' | 'ocsp' | 'crl' | 'none';
  revocationUrl?: string; revokedAt?: string; revocationProblem?: string;
}

/** One signer in verifyCms's answer. */
export interface VerifiedSigner extends Record<string, unknown> {
  signingTime: string; algorithm: string; certificate: string;
  indication: IndicationName; subIndication: SubIndicationName; level: SignatureLevelName | 'none';
  claimedSigningTime: string; essCertificateMatch: boolean; timestamps: number;
  timestampTime?: string; timestampAuthority?: string; timestampProblem?: string; chain: ChainCertificate[];
}

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
    attached?: boolean; includeTime?: boolean; level?: SignatureLevelName;
  }): Promise<{
    code: 0; id: string; cms: string; attached: boolean; digest: string; level: SignatureLevelName;
    timestampTime?: string; timestampAuthority?: string; timestampUrl?: string;
  }>;
  signRaw(id: string, data: Uint8Array | string, options?: SigningOptions & {
    scheme?: 'pkcs1' | 'pss'; hashed?: boolean;
  }): Promise<{ code: 0; id: string; signature: string; algorithm: string }>;
  /** challenge: the site's server's random bytes (or their Base64), at least 32. */
  authenticate(id: string, challenge: Uint8Array | string, options?: PkiCallOptions & {
    description?: string; pin?: string;
  }): Promise<AuthenticationAnswer>;
  /** Raises a B-B (or B-T) signature to B-T (the default) or B-LT; no key, no PIN. */
  extendCms(cms: Uint8Array | string, options?: PkiCallOptions & { level?: 'B-T' | 'B-LT' | 'B-LTA' }): Promise<{
    code: 0; cms: string; level: SignatureLevelName; timestampAdded: boolean;
    timestampTime?: string; timestampAuthority?: string; timestampUrl?: string;
  }>;
  verifyCms(cms: Uint8Array | string, options: PkiCallOptions & { data?: Uint8Array | string; trustAnchors: string }):
    Promise<{
      code: 0; signers: VerifiedSigner[]; attached: boolean; content?: string;
      indication: IndicationName; subIndication: SubIndicationName; level: SignatureLevelName | 'none';
    }>;
  hash(data: Uint8Array | string, options?: PkiCallOptions & { algorithm?: string }):
    Promise<{ code: 0; algorithm: string; hash: string; hex: string }>;
  info(options?: PkiCallOptions): Promise<Record<string, unknown>>;
  close(options?: PkiCallOptions): Promise<void>;
}
