// SPDX-License-Identifier: Apache-2.0
/* adapter_params.h -- reading a page's parameters from the map an adapter
 * receives, with the page's decoding undone.
 *
 * The map an adapter gets holds every value as the page sent it. A page may
 * mark a parameter <key> as encoded by sending a companion key in the same
 * request whose text is "true" (any case); the first of these that is on
 * decides, and only one decoding ever applies:
 *
 *   <key>_KestrovanEncryptFlag  hex text of AES-256-CBC cipher text; the key
 *                               is the first 32 bytes of the request's
 *                               "Kestrovan_share_secret", the IV the fixed
 *                               16 bytes "KestrovanShareIV"; the plaintext is
 *                               "KestrovanAESCBC", the text and one zero byte
 *   <key>_KestrovanFlag         every "*" stands for a backslash
 *   <key>_KestrovanSlashFlag    every "==KestrovanSlash==" stands for a backslash
 *   <key>_KestrovanBase64Flag   Base64 text ("%2B", "%2F", "%3D" stand for
 *                               "+", "/", "=", as form encoding leaves them)
 *
 * KestrovanParam_Read applies that decoding strictly: where the service's own
 * lenient reads fall back to the value as sent, this read reports the value
 * as undecodable, so that an adapter never signs, hashes or logs in with
 * something other than what the page meant (a wrong shared secret must not
 * turn the hex text into a PIN attempt).
 *
 * The implementation is linked into every adapter that kestrovan_add_adapter
 * builds (a static library whose symbols stay hidden inside the adapter). A
 * read prints nothing: its result says what went wrong (a sealed value that
 * fails to open is KESTROVAN_PARAM_UNDECODABLE), and the adapter decides what
 * to show. The value and its flag entries are found by the same lookup, so a
 * map the adapter filled itself may be in any order.
 * Like the map itself, a read is not synchronised: use a map from one thread
 * at a time, as the service does.
 */
#ifndef KESTROVAN_ADAPTER_PARAMS_H
#define KESTROVAN_ADAPTER_PARAMS_H

#include <stddef.h>

#include "adapter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of KestrovanParam_Read. */
#define KESTROVAN_PARAM_OK 0
#define KESTROVAN_PARAM_ABSENT 1       /* no entry with that key */
#define KESTROVAN_PARAM_UNDECODABLE 2  /* a flag is on but the value does not decode */
#define KESTROVAN_PARAM_NO_MEMORY 3
#define KESTROVAN_PARAM_BAD_ARGUMENTS 4

/* The decoding a page asked for, reported through *encoding. */
#define KESTROVAN_ENCODING_PLAIN 0
#define KESTROVAN_ENCODING_ENCRYPTED 1
#define KESTROVAN_ENCODING_STAR 2
#define KESTROVAN_ENCODING_SLASH 3
#define KESTROVAN_ENCODING_BASE64 4

/* Reads the parameter key (ASCII case ignored) with its decoding undone.
 * On KESTROVAN_PARAM_OK, *value is a fresh block of *length bytes followed by
 * one zero byte that *length does not count (so a text can be used as a C
 * string); Base64 may yield any bytes, zero included. An encrypted value is
 * a text: it ends at its first zero byte. *encoding (when encoding is not
 * NULL) is set whenever the key is present, so an undecodable value can be
 * reported by what the page asked for. On any other result *value is NULL and
 * *length 0. Release the value with KestrovanParam_Free. */
int KestrovanParam_Read(const KestrovanJsonMap* map, const char* key, unsigned char** value, size_t* length,
                        int* encoding);

/* Wipes length bytes of value (and its zero byte) and frees it; NULL is fine.
 * Parameters carry PINs and documents: never free a value with free() alone. */
void KestrovanParam_Free(unsigned char* value, size_t length);

#ifdef __cplusplus
}
#endif

#endif
