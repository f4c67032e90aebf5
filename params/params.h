// SPDX-License-Identifier: Apache-2.0
// params.h -- the parameter map: building it from a page's JSON object,
// adding, sorting and searching entries (map.cpp), the lenient reading of the
// decoding flags a page attaches to a parameter (flags.cpp), the masked
// console display (display.cpp), typed reads that undo the flags (reads.cpp)
// and the map's JSON text forms (text.cpp). Each file calls only those
// before it in this list.
//
// The map layout (KestrovanJsonMap / KestrovanJsonUnit) is part of the adapter
// interface and lives in include/kestrovan/adapter.h.
//
// Ownership: a map owns every key, value, data block and its source text.
// Every read returns a fresh heap copy that the caller frees with free()
// (freeSecret() for texts that may carry key material). A map is released
// only through KestrovanJsonFinal. A map has no lock: one thread uses it at a
// time.
#ifndef KESTROVAN_PARAMS_PARAMS_H
#define KESTROVAN_PARAMS_PARAMS_H

#include <atomic>
#include <cstdint>

#include "include/kestrovan/adapter.h"
#include "sdk/sdk.h"

// Tokens one JSON text may hold: the object and at most 128 key/value pairs.
#define KESTROVAN_JSON_MAX_TOKENS 257

// Strict lookup check: when on, a miss on a key that holds neither
// "Kestrovan" nor "topui" prints "Json map key not found: " and sets ErrCode
// to 61016. Off at start; the service runs with it off.
extern std::atomic<bool> CheckJson;
extern std::atomic<int32_t> ErrCode;

// KestrovanJson_ShareIV, the flag names and the shared-secret rules are the
// adapter SDK's (sdk/sdk.h): the service reads flags the way adapters do.

// Builds a map from a JSON object text. A text that does not parse is
// reported by what went wrong and where (offset, length), never by its
// content. Only the object's own key/value pairs
// are paired; a nested object or array is stored as the text of its span.
// Values have the escapes \r \n \t \u000f \u000e \u001b \" undone. Returns a
// new map (release with KestrovanJsonFinal) or null when the text is missing,
// is not JSON jsmn accepts, holds fewer than 2 tokens or more than 257.
KestrovanJsonMap* getKestrovanJsonMap(const char* inputJsonStr);

// A new empty map with room for about room bytes of keys and values in its
// own block: entries added while they fit cost no allocation of their own
// (the rest go to the heap as usual). Its source is the empty text. Release
// with KestrovanJsonFinal; null when memory runs out.
KestrovanJsonMap* KestrovanJson_newMap(size_t room);

// Adds key = value, replacing the value in place when the key is present
// (ignoring case; the entry keeps its first-written key). A new key on a full
// map (128 entries) is dropped silently. A null value leaves the entry without
// text value. Always returns 0.
int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, const char* value);
// The number written with "%d".
int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, int32_t value);
// Byte value: replaces data/dataLength of an existing entry (its text value
// stays) or adds a new entry. A length of 0 does nothing. Always returns 0.
int64_t addKestrovanJsonMapUnit(KestrovanJsonMap* map, const char* key, const unsigned char* data,
                                uint64_t length);

// qsort comparator over two KestrovanJsonUnit: strcasecmp of the keys reduced
// to -1, 0 or 1; 100 (after a warning) when an argument is missing.
int compareKestrovanJsonUnit(const void* inputA, const void* inputB);

// Binary search over units low..high for probe->key (ignoring case). Returns a
// fresh copy of the found text value, or of the byte value followed by a zero
// byte when the entry has only bytes; null when nothing is found.
char* BinarySearchKestrovanJsonMap(const KestrovanJsonMap* map, const KestrovanJsonUnit* probe, int low, int high);
// The binary search over the whole map for key (map and key not null).
char* KestrovanJson_search(const KestrovanJsonMap* map, const char* key);
// The entry of key found the same way, left where it lies (no copy, no
// report of a miss); null when there is none.
const KestrovanJsonUnit* KestrovanJson_find(const KestrovanJsonMap* map, const char* key);

// Undoes the first decoding flag that is on for key, in this order:
// "<key>_KestrovanEncryptFlag" (hex AES-256-CBC text, key = the first 32 bytes
// of "Kestrovan_share_secret", IV KestrovanJson_ShareIV),
// "<key>_KestrovanFlag" (every "*" becomes a backslash),
// "<key>_KestrovanSlashFlag" (every "==KestrovanSlash==" becomes a backslash),
// "<key>_KestrovanBase64Flag" (Base64 text).
// Returns a fresh text: the decoded value, or a copy of value when no flag is
// on or decoding fails; null only when value is null. Before a sealed value
// is opened the whole map is shown (masked) on the console.
char* fixParameter(KestrovanJsonMap* map, const char* key, const char* value);

// The first decoding flag that is on for key (KestrovanDecodingFlag of
// sdk/sdk.h; KESTROVAN_FLAG_NONE when none is), found by the binary search.
int KestrovanJson_flagOf(const KestrovanJsonMap* map, const char* key);
// value decoded as flag says, as fixParameter does but without showing the
// map first. map and value are not null.
char* KestrovanJson_decodeAs(KestrovanJsonMap* map, const char* value, int flag);

// The entry whose key equals key followed by suffix ignoring case (the pair
// cut at KESTROVAN_JOINED_KEY_MAX characters), found by the binary search
// above without putting the two together; null when there is none. The
// entry stays the map's.
#define KESTROVAN_JOINED_KEY_MAX 511
const KestrovanJsonUnit* KestrovanJson_findJoined(const KestrovanJsonMap* map, const char* key, const char* suffix);
// Whether some entry's key begins with key followed by suffix (cut the
// same way), ignoring case.
bool KestrovanJson_anyJoined(const KestrovanJsonMap* map, const char* key, const char* suffix);

// Typed reads: search the whole map, undo the value's decoding flag
// (fixParameter) and convert.
char* getKestrovanJsonCharType(KestrovanJsonMap* map, const char* key);   // fresh text or null
int64_t getKestrovanJsonLongType(KestrovanJsonMap* map, const char* key);  // "true" 1, "false" 0, else leading decimal (clamped)
int32_t getKestrovanJsonIntType(KestrovanJsonMap* map, const char* key);   // as the long read, clamped to 32 bits
bool getKestrovanJsonBoolType(KestrovanJsonMap* map, const char* key);     // text equals "true" ignoring case

// Wipes and frees every entry, the source and the map; sets map to null.
// Null is fine.
void KestrovanJsonFinal(KestrovanJsonMap*& map);
#ifdef KESTROVAN_MAP_WIPED_HOOK
// Test builds only (the test compiles map.cpp in with the switch): called
// with a map's text room (source, keys and values of a built map) once it is
// wiped, just before it is freed.
extern void (*KestrovanJson_wipedHook)(const char* room, size_t length);
#endif

void setJsonCheck(bool check);   // switching on also resets ErrCode to 0
int32_t getJsonErrorCode();

// The map as a JSON object: keys in map order, values as stored or, with
// encode, in Base64; entries without text value are skipped; nothing is
// escaped. Fresh text, or null when map is null or memory runs out.
char* getKestrovanMapString(const KestrovanJsonMap* map, bool encode);
// The map as a JSON object of texts with proper escaping: what an adapter
// that exports only "callMethod" receives. Fresh text, or null.
char* KestrovanSession_mapToJsonText(const KestrovanJsonMap* map);

// Prints the map to the console trace, masking "Kestrovan_share_secret",
// values whose key holds "pin", "pw" or "pass" (unless it holds "kestrovan")
// and values whose "<key>_KestrovanHide" reads true. Keys, values and masks
// longer than KESTROVAN_TRACE_TEXT_MAX are cut, with their full length.
void showKestrovanJsonMap(KestrovanJsonMap* map);

#endif
