// codes.h -- the numeric result codes that travel in a result map's "result".
#ifndef KESTROVAN_SUPPORT_CODES_H
#define KESTROVAN_SUPPORT_CODES_H

enum KestrovanResultCode {
  KESTROVAN_OK = 0,                       // echo answered; value stored
  KESTROVAN_ERR_GENERAL = 61001,          // unknown session; no TLS info; value cannot be opened; helper failure
  KESTROVAN_ERR_NOT_NUMBER = 61003,       // text is not a number (number conversion)
  KESTROVAN_ERR_NO_TEXT = 61004,          // no text to convert (number conversion)
  KESTROVAN_ERR_MISSING_KEY = 61005,      // value-store key missing/invalid; version text has an empty part;
                                          // main-thread call identifier unusable
  KESTROVAN_ERR_LOCATION = 61009,         // adapter location rejected by the path table
  KESTROVAN_ERR_ORIGIN = 61012,           // page origin unknown; console user changed
  KESTROVAN_ERR_KEY_NOT_FOUND = 61016,    // strict lookup check: key not found
  KESTROVAN_ERR_STORE_FULL = 61019,       // value store full of live values
  KESTROVAN_ERR_SEAL = 61020,             // sealing a value failed
  KESTROVAN_ERR_VALUE_OWNER = 61021,      // the channel holds a live value whose domain list does not admit the page
  KESTROVAN_ERR_SERVER_VERSION = 61203,   // minimum service version not met
  KESTROVAN_ERR_ADAPTER_VERSION = 61204,  // minimum adapter version not met
  KESTROVAN_ERR_LOAD = 61902,             // adapter library cannot be loaded
  KESTROVAN_ERR_NOT_LOCAL = 61904,        // Host header does not name the local machine
  KESTROVAN_ERR_NO_ENTRY = 61906,         // adapter exports no entry point
  KESTROVAN_ADAPTER_ERR_FIRST = 61000,    // an adapter's version answer in [first, last) is an error code
  KESTROVAN_ADAPTER_ERR_LAST = 62000,
};

#endif
