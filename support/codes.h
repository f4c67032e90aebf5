// SPDX-License-Identifier: Apache-2.0
// codes.h -- the numeric result codes that travel in a result map's "result".
// A code pages see carries a "page" note (its name, error kind and text in the
// page library, clients/js/kestrovan.js and .d.ts, which scripts/codes.py
// makes from this header).
#ifndef KESTROVAN_SUPPORT_CODES_H
#define KESTROVAN_SUPPORT_CODES_H

enum KestrovanResultCode {
  KESTROVAN_OK = 0,                       // echo answered; value stored
  // page OK
  KESTROVAN_ERR_GENERAL = 61001,          // unknown session; no TLS info; value cannot be opened; helper failure
  // page GENERAL, UnknownSession: The service does not know this session: it was released, replaced by a newer one,
  //   or the service restarted. Open a new session.
  KESTROVAN_ERR_NOT_NUMBER = 61003,       // text is not a number (number conversion)
  // page NOT_NUMBER, NotANumber: The service could not read a number it needed (a text that is not a number).
  KESTROVAN_ERR_NO_TEXT = 61004,          // no text to convert (number conversion)
  // page NO_TEXT, NoNumber: The service could not read a number it needed (no text at all).
  KESTROVAN_ERR_MISSING_KEY = 61005,      // value-store key missing/invalid; version text has an empty part;
                                          // main-thread call identifier unusable
  // page MISSING_PARAMETER, MissingParameter: A required parameter is missing or invalid (value store: channel,
  //   domain list, value or a timeout that is negative or too large; a version text with an empty part; or a
  //   main-thread call identifier the service cannot use).
  KESTROVAN_ERR_LOCATION = 61009,         // adapter location rejected by the path table
  // page LOCATION_REJECTED, AdapterLocationRejected: The service refused the adapter location: the path id, folder or
  //   component name is not in its path table.
  KESTROVAN_ERR_ORIGIN = 61012,           // page origin unknown; console user changed
  // page ORIGIN_REJECTED, OriginRejected: The service could not establish this page's origin (no usable Origin or
  //   Referer header), or the user at the console changed and the service is shutting down.
  KESTROVAN_ERR_KEY_NOT_FOUND = 61016,    // strict lookup check: key not found
  // page KEY_NOT_FOUND, KeyNotFound: The service could not find a parameter it looked up.
  KESTROVAN_ERR_STORE_FULL = 61019,       // value store full of live values
  // page STORE_FULL, ValueStoreFull: The value store is full: this site already holds 4 live values, or all 16
  //   channels hold values that have not expired (values without a timeout stay until the service restarts).
  KESTROVAN_ERR_SEAL = 61020,             // sealing a value failed
  // page SEAL_FAILED, ValueSealFailed: The service could not seal the value for storage.
  KESTROVAN_ERR_VALUE_OWNER = 61021,      // the channel holds a live value whose domain list does not admit the page
  // page CHANNEL_TAKEN, ValueChannelTaken: The channel holds a value stored for other sites: this page's origin is
  //   not on its domain list, so it cannot replace it until it expires. Use another channel name.
  KESTROVAN_ERR_SERVER_VERSION = 61203,   // minimum service version not met
  // page SERVER_VERSION, ServerVersionTooOld: The service is older than the minimum service version this page asked
  //   for (or that minimum is not a version of four numbers).
  KESTROVAN_ERR_ADAPTER_VERSION = 61204,  // minimum adapter version not met
  // page ADAPTER_VERSION, AdapterVersionTooOld: The adapter is older than the minimum adapter version this page asked
  //   for (or that minimum is not comparable with the adapter's version).
  KESTROVAN_ERR_LOAD = 61902,             // adapter library cannot be loaded
  // page LOAD_FAILED, AdapterLoadFailed: The service could not load the adapter library: it is not installed or
  //   cannot be loaded.
  KESTROVAN_ERR_NOT_LOCAL = 61904,        // Host header does not name the local machine
  // page NOT_LOCAL, NotLocal: The service refused the request because its Host was not 127.0.0.1 or localhost with a
  //   port. Address the service as https://127.0.0.1:PORT or https://localhost:PORT.
  KESTROVAN_ERR_NO_ENTRY = 61906,         // adapter exports no entry point
  // page NO_ENTRY_POINT, AdapterNoEntryPoint: The adapter library exports no entry point the service can call.
  KESTROVAN_ADAPTER_ERR_FIRST = 61000,    // an adapter's version answer in [first, last) is an error code
  KESTROVAN_ADAPTER_ERR_LAST = 62000,
};

#endif
