// SPDX-License-Identifier: Apache-2.0
// Type declarations for kestrovan.js, the page library of the Kestrovan
// local service.

export declare const SERVICE_PORTS: readonly number[];
export declare const SERVICE_HOSTS: readonly string[];
export declare const SERVER_VERSION: string;
export declare const DEFAULT_PATH_ID: string;
export declare const MAX_PARAMETERS: number;
/** Longest parameter name in UTF-8 bytes (490): the service must find "<name>_KestrovanEncryptFlag". */
export declare const MAX_PARAMETER_NAME_BYTES: number;
export declare const SHARE_IV: string;
export declare const SHARE_SECRET_KEY: string;
export declare const SEAL_MARKER: string;
export declare const HEARTBEAT: string;
/** The request key ("KestrovanCallId") naming one main-thread call across its re-sends. */
export declare const CALL_ID_KEY: string;

// generated from support/codes.h by scripts/codes.py: change the header, then run it
export declare const ResultCode: Readonly<{
  OK: 0;
  GENERAL: 61001;
  NOT_NUMBER: 61003;
  NO_TEXT: 61004;
  MISSING_PARAMETER: 61005;
  LOCATION_REJECTED: 61009;
  ORIGIN_REJECTED: 61012;
  KEY_NOT_FOUND: 61016;
  STORE_FULL: 61019;
  SEAL_FAILED: 61020;
  CHANNEL_TAKEN: 61021;
  SERVER_VERSION: 61203;
  ADAPTER_VERSION: 61204;
  LOAD_FAILED: 61902;
  NOT_LOCAL: 61904;
  NO_ENTRY_POINT: 61906;
}>;

/** error.kind of a KestrovanError. */
export type ErrorKindName =
  | 'ServiceUnreachable'
  | 'NoAnswer'
  | 'BadAnswer'
  | 'Timeout'
  | 'AdapterInitFailed'
  | 'AdapterRefused'
  | 'AdapterError'
  | 'NoResult'
  | 'ValueUnreadable'
  | 'SessionClosed'
  | 'CryptoUnavailable'
  | 'UnknownSession'
  | 'NotANumber'
  | 'NoNumber'
  | 'MissingParameter'
  | 'AdapterLocationRejected'
  | 'OriginRejected'
  | 'KeyNotFound'
  | 'ValueStoreFull'
  | 'ValueSealFailed'
  | 'ValueChannelTaken'
  | 'ServerVersionTooOld'
  | 'AdapterVersionTooOld'
  | 'AdapterLoadFailed'
  | 'NotLocal'
  | 'AdapterNoEntryPoint';
// end of generated part

export declare const ErrorKind: Readonly<Record<ErrorKindName, ErrorKindName>>;

/** Decoded answer of the service: every value is text. */
export type Answer = Record<string, string>;

export declare class KestrovanError extends Error {
  name: 'KestrovanError';
  /** What went wrong, e.g. 'UnknownSession' or 'ServiceUnreachable'. */
  kind: ErrorKindName;
  /** The numeric result code, or null for failures that have none. */
  code: number | null;
  /** The adapter's answer text (AdapterRefused). */
  result?: string;
  /** The decoded answer the error came from. */
  answer?: Answer | string;
  /** Service URLs that were tried (ServiceUnreachable). */
  urls?: string[];
  /** The browser's local-network permission state, when it tells. */
  permissionState?: PermissionState;
  cause?: unknown;
}

/** The error for a numeric result code; context 'getValue' reads 61001 as ValueUnreadable. */
export declare function errorForCode(code: number | string, context?: string, answer?: Answer): KestrovanError;
/** The code when text is a result code (five digits, 61000..61999), else null. */
export declare function resultCodeOf(text: string | undefined): number | null;

export declare function encodeBase64Utf8(text: string): string;
export declare function decodeBase64Utf8(base64: string): string;
/** True when the service reads the value back exactly without a decoding flag. */
export declare function travelsPlain(text: string): boolean;
export declare function serializeParameters(entries: ReadonlyArray<readonly [string, string, boolean?]>): string;
export declare function formBody(jsonText: string): URLSearchParams;
export declare function decodeAnswer(text: string): Answer;

export type PlainValue = string | number | bigint | boolean;
export type ByteValue = Uint8Array | ArrayBuffer | ArrayBufferView;

export interface ParamOptions {
  /** Send the value as Base64 with the Base64 flag. */
  base64?: boolean;
  /** Mask the value in the service's console trace and log. */
  hide?: boolean;
  /** Send the value AES-256-CBC encrypted with the encrypt flag. */
  encrypt?: boolean;
}

declare const parameterBrand: unique symbol;
export interface Param {
  readonly [parameterBrand]: true;
  readonly value: PlainValue | ByteValue;
  readonly base64: boolean;
  readonly hide: boolean;
  readonly encrypt: boolean;
}

export type ParamValue = PlainValue | ByteValue | Param | undefined;
export type Params = Record<string, ParamValue>;

export declare function param(value: PlainValue | ByteValue, options?: ParamOptions): Param;
export declare function hidden(value: PlainValue | ByteValue, options?: ParamOptions): Param;
export declare function base64(value: PlainValue | ByteValue, options?: ParamOptions): Param;
export declare function encrypted(value: PlainValue, options?: ParamOptions): Param;

export declare function randomSecret(): string;
/** A fresh main-thread call identifier: 32 characters from A-Z a-z 0-9 "-" "_". */
export declare function newCallId(): string;
/** Hex of the service's sealed form of text under the first 32 bytes of secret. */
export declare function encryptForService(text: string, secret: string): Promise<string>;

export interface PrepareOptions {
  fixed?: ReadonlyArray<readonly [string, string]>;
  secret?: string;
  /** Adds the main-thread marker and a call identifier. */
  mainThread?: boolean;
  /** The call identifier to add with mainThread (default: newCallId()). */
  callId?: string;
}
export declare function prepareParameters(params: Params, options?: PrepareOptions): Promise<Array<[string, string, boolean?]>>;

export interface ClientOptions {
  /** Ports tried in order (default 56459, 56559, 56659). */
  ports?: number[];
  /** Hosts tried in order (default 127.0.0.1, localhost). */
  hosts?: string[];
  /** A fixed service URL; skips the search. */
  serviceUrl?: string;
  /** fetch to use (default the global one). */
  fetch?: typeof fetch;
  /** Default overall deadline of a call in milliseconds (default 120000; Infinity, or more than 2^31-1, for none). */
  timeoutMs?: number;
  /** How long the search waits for an address before it also tries the next, in milliseconds (default 5000); a silent address is still waited for. */
  probeTimeoutMs?: number;
}

export interface CallOptions {
  /** Run on the service's main thread; "heartbeat" answers are re-sent, with the call's own identifier, until the result comes. */
  mainThread?: boolean;
  /** Overall deadline for the call, heartbeats included. */
  timeoutMs?: number;
  signal?: AbortSignal;
  /** Shared secret for encrypted parameters (default: a fresh random one per request). */
  secret?: string;
  /** Mask the adapter's answer in the service's trace. */
  hideResult?: boolean;
  /** Called with the number of heartbeats received so far. */
  onHeartbeat?: (count: number) => void;
  /** Return result codes as text instead of rejecting. */
  raw?: boolean;
}

export interface SendOptions extends CallOptions {
  sessionId?: string;
}

export interface OpenOptions {
  /** Adapter path id (default: the bundled PKI adapter's). */
  pathId?: string;
  /** Adapter folder and component name, instead of a path id. */
  libDir?: string;
  comName?: string;
  installerName?: string;
  /** Minimum service version, four numbers (default 0.0.0.0). */
  minServerVersion?: string;
  /** Minimum adapter version, four numbers (default: any). */
  minLibVersion?: string;
  /** Keep the session when the page closes it; only forceRelease ends it. */
  browserMode?: boolean;
  signal?: AbortSignal;
  timeoutMs?: number;
  /** Open on the service's main thread, with heartbeats: for adapters that may ask the user first. */
  mainThread?: boolean;
  /** Called with the number of heartbeats received so far (main-thread opening). */
  onHeartbeat?: (count: number) => void;
}

export interface ValueOptions {
  /** Origin patterns allowed to read the value: an array, or one text separated by ";". */
  domains?: string[] | string;
  /** Idle minutes until the value expires; 0 (default) for never. */
  timeoutMinutes?: number;
  signal?: AbortSignal;
  timeoutMs?: number;
  secret?: string;
}

export interface Versions {
  serverVersion: string | undefined;
  libVersion: string | undefined;
  installerVersion: string | undefined;
}

export declare class KestrovanClient {
  constructor(options?: ClientOptions);
  readonly ports: number[];
  readonly hosts: string[];
  timeoutMs: number;
  probeTimeoutMs: number;
  readonly fixedUrl: boolean;
  /** The URL of the service once found, else null. */
  readonly serviceUrl: string | null;
  candidateUrls(): string[];
  /** Finds the service (and remembers it); rejects with a Timeout when nothing answered by the deadline (default the client's timeoutMs). */
  locate(options?: { signal?: AbortSignal; timeoutMs?: number }): Promise<string>;
  /** Sends one call and answers the decoded map (heartbeats handled for mainThread). */
  send(functionName: string, params?: Params, options?: SendOptions): Promise<Answer>;
  /** Opens a session with an echo. */
  openSession(options?: OpenOptions): Promise<KestrovanSession>;
}

export declare class KestrovanSession {
  readonly id: string;
  readonly browserMode: boolean;
  readonly closed: boolean;
  readonly serverVersion: string | undefined;
  readonly libVersion: string | undefined;
  readonly installerVersion: string | undefined;
  readonly client: KestrovanClient;
  /** Calls an adapter function and answers its text. */
  call(functionName: string, params?: Params, options?: CallOptions): Promise<string>;
  echo(options?: { signal?: AbortSignal; timeoutMs?: number }): Promise<Versions>;
  setValue(channel: string, value: PlainValue | Param, options?: ValueOptions): Promise<void>;
  /** The value, or '' when there is nothing this page may read. */
  getValue(channel: string, options?: { signal?: AbortSignal; timeoutMs?: number }): Promise<string>;
  /** Ends the session unless it is in browser mode. */
  close(options?: { signal?: AbortSignal; timeoutMs?: number }): Promise<void>;
  /** Ends the session whatever its mode. */
  forceRelease(options?: { signal?: AbortSignal; timeoutMs?: number }): Promise<void>;
}

export declare function createClient(options?: ClientOptions): KestrovanClient;
