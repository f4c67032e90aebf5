// SPDX-License-Identifier: Apache-2.0
// values.cpp -- the value store: 16 sealed records, each bound to a domain
// list and an idle timeout, under one lock.
#include "values/values.h"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <strings.h>

#include "crypto/crypto.h"
#include "policy/policy.h"
#include "support/support.h"

#define MODULE "KestrovanValue"

struct KestrovanValueRecord {
  char* channel;            // null marks a free record; compared ignoring case
  char* domain_list;        // permitted domains, ";"-separated patterns
  int32_t timeout;          // idle timeout in minutes; 0 never expires
  int64_t expired_time;     // seconds since the epoch; 0 without timeout
  unsigned char* value;     // sealed value
  uint64_t value_length;
  char* owner;              // origin of the page that stored the value; counts against its share
};

// Everything below is guarded by KestrovanValue_Lock, held for the whole of
// each store and each read.
static std::mutex KestrovanValue_Lock;
static KestrovanValueRecord value_list[KESTROVAN_VALUE_RECORDS];
static unsigned char KestrovanValue_AES_Key[32];
static unsigned char KestrovanValue_AES_IV[32];  // the cipher uses the first 16 bytes
// False until init drew key and IV; nothing is sealed under a key that was
// never drawn.
static bool KestrovanValue_KeyReady = false;

#ifdef KESTROVAN_VALUE_CLOCK_SEAM
static std::atomic<KestrovanValueClock> KestrovanValue_Clock{nullptr};
#endif

static int64_t currentTime() {
#ifdef KESTROVAN_VALUE_CLOCK_SEAM
  KestrovanValueClock clock = KestrovanValue_Clock.load();
  if (clock != nullptr)
    return clock();
#endif
  return (int64_t)time(nullptr);
}

static void printTime(bool warning, const char* message, int64_t seconds) {
  char text[32];
  snprintf(text, sizeof(text), "%" PRId64, seconds);
  if (warning) {
    printfColorWarningLine(message, text);
  } else {
    printfColorLine(message, text);
  }
}

static void clearRecord(int index) {
  KestrovanValueRecord& record = value_list[index];
  free(record.channel);
  free(record.domain_list);
  free(record.owner);
  if (record.value != nullptr) {
    secureWipe(record.value, (size_t)record.value_length);
    free(record.value);
  }
  record = KestrovanValueRecord{};
}

// A record with expiry whose time has passed; one without expiry never
// expires.
static bool isExpired(const KestrovanValueRecord& record, int64_t now) {
  return record.expired_time != 0 && now > record.expired_time;
}

// The origin check of reads and of replacing a live value: the record's
// domain list admits origin. An empty list admits nobody.
static bool admits(const KestrovanValueRecord& record, const char* origin) {
  KestrovanUrlCheck check;
  KestrovanPolicy_setUnlockURL(&check, record.domain_list);
  KestrovanPolicy_unlock(&check, origin);
  bool permitted = KestrovanPolicy_isUrlUnlock(&check);
  KestrovanPolicy_freeCheckURL(&check);
  return permitted;
}

// Live records origin stored, the record at skip (the one being written)
// left out. Expired records are anyone's to take and do not count.
static int liveRecordsOf(const char* origin, int skip, int64_t now) {
  int count = 0;
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    const KestrovanValueRecord& record = value_list[i];
    if (i != skip && record.channel != nullptr && record.owner != nullptr && !isExpired(record, now) &&
        strcasecmp(record.owner, origin) == 0) {
      count++;
    }
  }
  return count;
}

static int findChannel(const char* channel) {
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    if (value_list[i].channel != nullptr && strcasecmp(value_list[i].channel, channel) == 0) {
      return i;
    }
  }
  return -1;
}

void KestrovanValue_init() {
  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    clearRecord(i);
  }
  KestrovanValue_KeyReady = getSecureRandom(KestrovanValue_AES_Key, (int)sizeof(KestrovanValue_AES_Key)) &&
                            getSecureRandom(KestrovanValue_AES_IV, (int)sizeof(KestrovanValue_AES_IV));
  if (!KestrovanValue_KeyReady) {
    secureWipe(KestrovanValue_AES_Key, sizeof(KestrovanValue_AES_Key));
    secureWipe(KestrovanValue_AES_IV, sizeof(KestrovanValue_AES_IV));
    printfColorErrorLine("KestrovanValue: ", "Random Error");
  }
}

void KestrovanValue_init(int index) {
  if (index < 0 || index >= KESTROVAN_VALUE_RECORDS) {
    return;
  }
  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  clearRecord(index);
}

void KestrovanValue_final() {
  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
    clearRecord(i);
  }
  secureWipe(KestrovanValue_AES_Key, sizeof(KestrovanValue_AES_Key));
  secureWipe(KestrovanValue_AES_IV, sizeof(KestrovanValue_AES_IV));
  KestrovanValue_KeyReady = false;
}

// The arguments of a store: KESTROVAN_OK, or the code it is refused with.
static int32_t checkSetArguments(const char* channel, const char* domain_list, int timeout, const char* value,
                                 const char* origin) {
  if (channel == nullptr) {
    showNullParameter("channel", MODULE, __LINE__);
    return KESTROVAN_ERR_MISSING_KEY;
  }
  if (domain_list == nullptr) {
    showNullParameter("domain_list", MODULE, __LINE__);
    return KESTROVAN_ERR_MISSING_KEY;
  }
  if (timeout < 0) {
    return KESTROVAN_ERR_MISSING_KEY;
  }
  if (value == nullptr) {
    showNullParameter("value", MODULE, __LINE__);
    return KESTROVAN_ERR_MISSING_KEY;
  }
  if (origin == nullptr) {
    showNullParameter("origin", MODULE, __LINE__);
    return KESTROVAN_ERR_MISSING_KEY;
  }
  // A timeout whose seconds do not fit 32 bits gives no meaningful expiry.
  if ((int64_t)timeout * 60 > (int64_t)INT32_MAX) {
    printfColorWarningLine("KestrovanValue: ", "Invalid timeout");
    return KESTROVAN_ERR_MISSING_KEY;
  }
  return KESTROVAN_OK;
}

// The texts a stored record keeps, copied before the table is touched so
// that an allocation failure leaves it as it was.
struct KestrovanValueCopies {
  char* channel;
  char* domain;
  char* owner;
};

static void freeCopies(KestrovanValueCopies* copies) {
  free(copies->channel);
  free(copies->domain);
  free(copies->owner);
  *copies = {nullptr, nullptr, nullptr};
}

// Under KestrovanValue_Lock. The record a store from origin goes to: the
// channel's own, a free one, or one an expired value leaves (every expired
// record is cleared then, the highest taken). KESTROVAN_OK with *index, or
// the code the store is refused with.
static int32_t chooseRecordLocked(const char* channel, const char* origin, int64_t now, int* index) {
  *index = findChannel(channel);
  // A live value belongs to the sites its domain list names: another site
  // neither replaces it nor changes who may read it. Once expired, the
  // channel is free for anyone.
  if (*index >= 0 && !isExpired(value_list[*index], now) && !admits(value_list[*index], origin)) {
    KestrovanTraceText shown;
    printfColorWarningLine("KestrovanValue owner check fail", traceText(origin, shown));
    return KESTROVAN_ERR_VALUE_OWNER;
  }
  // One site holds at most its share of the live records, so that the
  // others always find room; checked before anything is cleared.
  if (liveRecordsOf(origin, *index, now) >= KESTROVAN_VALUE_ORIGIN_SHARE) {
    KestrovanTraceText shown;
    printfColorWarningLine("KestrovanValue share full: ", traceText(origin, shown));
    return KESTROVAN_ERR_STORE_FULL;
  }
  for (int i = 0; *index < 0 && i < KESTROVAN_VALUE_RECORDS; i++) {
    if (value_list[i].channel == nullptr)
      *index = i;
  }
  if (*index < 0) {
    // Full: every expired record goes and the highest one cleared is taken.
    // Values without expiry stay: they may be other sites' own.
    for (int i = 0; i < KESTROVAN_VALUE_RECORDS; i++) {
      if (isExpired(value_list[i], now)) {
        clearRecord(i);
        *index = i;
      }
    }
  }
  if (*index < 0) {
    printfColorWarningLine("KestrovanValue: ", "Full");
    return KESTROVAN_ERR_STORE_FULL;
  }
  return KESTROVAN_OK;
}

// Under KestrovanValue_Lock. The record takes the copies (now its own), the
// timeout and the value sealed; the old value is wiped first.
static int32_t storeLocked(KestrovanValueRecord& record, KestrovanValueCopies* copies, int timeout, const char* value,
                           int64_t now) {
  if (record.channel == nullptr) {
    record.channel = copies->channel;  // a reused record keeps its first-written name
  } else {
    free(copies->channel);
  }
  free(record.domain_list);
  record.domain_list = copies->domain;
  free(record.owner);
  record.owner = copies->owner;  // the value is now this page's, and counts against its share
  *copies = {nullptr, nullptr, nullptr};
  record.timeout = timeout;
  record.expired_time = timeout > 0 ? now + (int64_t)timeout * 60 : 0;

  if (record.value != nullptr) {
    secureWipe(record.value, (size_t)record.value_length);
    free(record.value);
    record.value = nullptr;
    record.value_length = 0;
  }
  unsigned long sealedLength = 0;
  unsigned char* sealed = nullptr;
  if (KestrovanValue_KeyReady) {
    sealed = (unsigned char*)AES256_Encrypt_CBC((const unsigned char*)value, KestrovanValue_AES_Key,
                                                KestrovanValue_AES_IV, &sealedLength);
  }
  if (sealed == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    printfColorWarningLine("KestrovanValue: ", "Encrypt Error");
    return KESTROVAN_ERR_SEAL;
  }
  record.value = sealed;
  record.value_length = sealedLength;
  return KESTROVAN_OK;
}

int32_t KestrovanValue_set_value(const char* channel, const char* domain_list, int timeout, const char* value,
                                 const char* origin) {
  int32_t code = checkSetArguments(channel, domain_list, timeout, value, origin);
  if (code != KESTROVAN_OK)
    return code;

  KestrovanValueCopies copies = {newMem(channel), newMem(domain_list), newMem(origin)};
  if (copies.channel == nullptr || copies.domain == nullptr || copies.owner == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    freeCopies(&copies);
    return KESTROVAN_ERR_GENERAL;
  }

  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  int64_t now = currentTime();
  int index = -1;
  code = chooseRecordLocked(channel, origin, now, &index);
  if (code != KESTROVAN_OK) {
    freeCopies(&copies);
    return code;
  }
  return storeLocked(value_list[index], &copies, timeout, value, now);
}

char* KestrovanValue_get_value(const char* channel, const char* domain) {
  char* empty = newMem("");
  if (empty == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }
  if (channel == nullptr) {
    showNullParameter("channel", MODULE, __LINE__);
    return empty;
  }
  if (domain == nullptr) {
    showNullParameter("domain", MODULE, __LINE__);
    return empty;
  }

  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  int index = findChannel(channel);
  KestrovanTraceText shown;
  if (index < 0) {
    printfColorWarningLine("KestrovanValue no current channel", traceText(channel, shown));
    return empty;
  }
  KestrovanValueRecord& record = value_list[index];

  if (!admits(record, domain)) {
    printfColorWarningLine("KestrovanValue url check fail", traceText(domain, shown));
    return empty;
  }

  if (record.expired_time != 0) {
    int64_t now = currentTime();
    printTime(false, "KestrovanValue current_time: ", now);
    if (now > record.expired_time) {
      printfColorWarningLine("KestrovanValue: ", "Timeout");
      printTime(true, "KestrovanValue expired_time: ", record.expired_time);
      return empty;
    }
    record.expired_time = now + (int64_t)record.timeout * 60;
    printTime(false, "KestrovanValue update expired_time: ", record.expired_time);
  } else {
    printfColorLine("KestrovanValue: ", "No expired time");
  }

  char* plain = nullptr;
  if (record.value != nullptr && KestrovanValue_KeyReady) {
    int openedLength = 0;
    plain = (char*)AES256_Decrypt_CBC(record.value, (unsigned long)record.value_length, KestrovanValue_AES_Key,
                                      KestrovanValue_AES_IV, openedLength);
  }
  free(empty);
  if (plain == nullptr) {
    showMemoryFail(MODULE, __LINE__);
  }
  return plain;
}

#ifdef KESTROVAN_VALUE_CLOCK_SEAM
void KestrovanValue_setClock(KestrovanValueClock clock) {
  KestrovanValue_Clock.store(clock);
}
#endif

char* KestrovanValue_channelAt(int index) {
  if (index < 0 || index >= KESTROVAN_VALUE_RECORDS) {
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  return newMem(value_list[index].channel);
}

int64_t KestrovanValue_expiryAt(int index) {
  if (index < 0 || index >= KESTROVAN_VALUE_RECORDS) {
    return 0;
  }
  std::lock_guard<std::mutex> guard(KestrovanValue_Lock);
  return value_list[index].expired_time;
}
