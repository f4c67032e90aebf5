// SPDX-License-Identifier: Apache-2.0
// Types of verify-authentication.mjs: a site's server checks the PKI
// adapter's Authenticate answer.

export declare const AUTH_FORMAT: 'KESTROVAN-AUTH-V1';
export declare const AUTH_VERSION: 1;
export declare const MIN_CHALLENGE_BYTES: 32;

/** Why a verification failed. */
export type AuthenticationFailure =
  | 'format' | 'origin' | 'challenge' | 'algorithm' | 'signature'
  | 'certificate' | 'keyUsage' | 'validity' | 'untrusted';

export declare class AuthenticationError extends Error {
  readonly name: 'AuthenticationError';
  readonly reason: AuthenticationFailure;
}

/** The Authenticate answer as the adapter gives it (parsed JSON). */
export interface AuthenticationAnswer {
  code: 0;
  id: string;
  format: 'KESTROVAN-AUTH-V1';
  version: 1;
  origin: string;
  algorithm: 'RSA-SHA256' | 'ECDSA-SHA256';
  /** Base64 of the signature (RSA block, or DER ECDSA-Sig-Value). */
  signature: string;
  /** PEM of the signer's certificate. */
  certificate: string;
}

export interface VerifyOptions {
  /** The site's own origin, e.g. "https://bank.example" (never one taken from the answer). */
  origin: string;
  /** The challenge the server gave: its bytes, or their Base64. At least 32 bytes. */
  challenge: Uint8Array | string;
  /** PEM certificates the signer must chain to. */
  trustAnchors: string | string[];
  /** PEM certificates that may stand between the signer and an anchor. */
  intermediates?: string | string[];
  /** The time the certificates must be valid at (default: now). */
  now?: Date | number;
  /**
   * Also accept certificates with nonRepudiation or without key usage
   * (default false). Only when every such key of your users is set to
   * authentication in their adapters (dual-use-key-role): otherwise a site
   * the user lets sign could have the key sign a login to your site.
   */
  acceptDualUse?: boolean;
}

export interface VerifiedSigner {
  subject: string;
  issuer: string;
  serialNumber: string;
  fingerprint256: string;
  notBefore: string;
  notAfter: string;
  /** PEM of the signer's certificate. */
  certificate: string;
}

/** Checks the answer; throws an AuthenticationError when anything fails. */
export declare function verifyAuthentication(answer: AuthenticationAnswer | string, options: VerifyOptions): VerifiedSigner;

/** The 82 bytes that were signed: "KESTROVAN-AUTH-V1" 0x00 SHA-256(origin) SHA-256(challenge). */
export declare function signedBytes(origin: string, challenge: Uint8Array | string): Uint8Array;

/** The origin as the adapter binds it (the URL standard's origin). */
export declare function canonicalOrigin(origin: string): string;

/** The key-usage bits that matter here, or null without the extension. */
export declare function keyUsageOf(der: Uint8Array): { digitalSignature: boolean; nonRepudiation: boolean } | null;
