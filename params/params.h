// params.h -- the parameter map: building it from a page's JSON object,
// adding, sorting and searching entries, typed reads that undo the decoding
// flags a page attaches to a parameter, the map's JSON text form and its
// masked console display.
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

// Tokens one JSON text may hold: the object and at most 128 key/value pairs.
#define KESTROVAN_JSON_MAX_TOKENS 257

// Strict lookup check: when on, a miss on a key that holds neither
// "Kestrovan" nor "topui" prints "Json map key not found: " and sets ErrCode
// to 61016. Off at start; the service runs with it off.
extern std::atomic<bool> CheckJson;
extern std::atomic<int32_t> ErrCode;

// The 16-byte initialisation vector of parameters a page sends sealed with
// "<key>_KestrovanEncryptFlag"; pages use the same bytes.
extern const unsigned char KestrovanJson_ShareIV[16];

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
// Tests only: called with a map's text room (source, keys and values of a
// built map) once it is wiped, just before it is freed.
extern void (*KestrovanJson_wipedHook)(const char* room, size_t length);

void setJsonCheck(bool check);   // switching on also resets ErrCode to 0
int32_t getJsonErrorCode();

// Undoes the first decoding flag that is on for key, in this order:
// "<key>_KestrovanEncryptFlag" (hex AES-256-CBC text, key = the first 32 bytes
// of "Kestrovan_share_secret", IV KestrovanJson_ShareIV),
// "<key>_KestrovanFlag" (every "*" becomes a backslash),
// "<key>_KestrovanSlashFlag" (every "==KestrovanSlash==" becomes a backslash),
// "<key>_KestrovanBase64Flag" (Base64 text).
// Returns a fresh text: the decoded value, or a copy of value when no flag is
// on or decoding fails; null only when value is null.
char* fixParameter(KestrovanJsonMap* map, const char* key, const char* value);

// The map as a JSON object: keys in map order, values as stored or, with
// encode, in Base64; entries without text value are skipped; nothing is
// escaped. Fresh text, or null when map is null or memory runs out.
char* getKestrovanMapString(const KestrovanJsonMap* map, bool encode);

// Prints the map to the console trace, masking "Kestrovan_share_secret",
// values whose key holds "pin", "pw" or "pass" (unless it holds "kestrovan")
// and values whose "<key>_KestrovanHide" reads true. Keys, values and masks
// longer than KESTROVAN_TRACE_TEXT_MAX are cut, with their full length.
void showKestrovanJsonMap(KestrovanJsonMap* map);

#endif
