// SPDX-License-Identifier: Apache-2.0
// values.h -- the value store: up to 16 texts that pages leave with the
// service under a channel name and read back later, each bound to a domain
// list (the origin policy's list form) and an idle timeout in minutes.
//
// Values live only in memory, sealed with AES-256-CBC under a key and IV
// drawn once at start (KestrovanValue_init). A live value stays with the
// sites its domain list names: others can neither read nor replace it, and
// a full table never clears it to make room. One lock is held for the whole of
// each store and each read, origin check included, so concurrent pages never
// see each other's state.
#ifndef KESTROVAN_VALUES_VALUES_H
#define KESTROVAN_VALUES_VALUES_H

#include <cstdint>

#define KESTROVAN_VALUE_RECORDS 16
// Live records one origin (the page that stored them) may hold at a time:
// a quarter of the table, so one site never keeps the others out.
#define KESTROVAN_VALUE_ORIGIN_SHARE 4

// Draws the key and IV and clears every record. Called once at start.
void KestrovanValue_init();
// Clears one record (0..15); other indexes do nothing.
void KestrovanValue_init(int index);
// Wipes every record, the key and the IV (at shutdown).
void KestrovanValue_final();

// Stores value under channel (ignoring case) for a page of origin. A channel
// holding a live value (no expiry, or not yet expired) is replaced only when
// its domain list admits origin (the check reads use; an empty list admits
// nobody); an expired one is anyone's. A full table frees expired records
// only, never a live one. A stored value counts against the share of the
// origin that stored it last (KESTROVAN_VALUE_ORIGIN_SHARE live records;
// origins compared ignoring case) until it expires. Returns 0 when stored;
// 61005 for a missing argument, a negative timeout or one whose seconds do
// not fit 32 bits; 61019 when the table is full of live values or origin
// already holds its share (replacing one of its own values is always let
// through); 61020 when sealing failed;
// 61021 when the channel's live value is not origin's to replace (the record
// is left as it was).
int32_t KestrovanValue_set_value(const char* channel, const char* domain_list, int timeout, const char* value,
                                 const char* origin);

// Reads channel for a page of origin domain. Returns a fresh text the caller
// frees: the value; the empty text for a missing argument, an unknown
// channel, a refused origin or an expired value; null when unsealing fails.
// A successful read slides the expiry.
char* KestrovanValue_get_value(const char* channel, const char* domain);

#ifdef KESTROVAN_VALUE_CLOCK_SEAM
// Test builds only (a test compiles values.cpp in with the switch): replaces
// the store's clock, seconds since the epoch, which is time() otherwise.
// Null restores time().
typedef int64_t (*KestrovanValueClock)();
void KestrovanValue_setClock(KestrovanValueClock clock);
#endif

// Inspection: a fresh copy of record index's channel name (null when free),
// and its expiry time (0 when none or free).
char* KestrovanValue_channelAt(int index);
int64_t KestrovanValue_expiryAt(int index);

#endif
