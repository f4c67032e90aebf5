// SPDX-License-Identifier: Apache-2.0
// json.cpp -- the parameter map from a page's JSON text, with jsmn: the
// text tokenised and checked, the object's own members paired from the end,
// and the pairs copied into the map's room with their escapes undone.
#include "params/params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "params/map_storage.h"
#include "support/support.h"

// jsmn is header-only; this is the one file that compiles its functions.
#define JSMN_STATIC
#include <jsmn.h>

#define MODULE "Json"

// What went wrong and where, never the text: a page's JSON holds its PIN and
// "Kestrovan_share_secret", and the trace goes to the console and the log.
static void printParseError(const char* what, long long offset, size_t length) {
  char text[160];
  if (offset >= 0) {
    snprintf(text, sizeof(text), "%s at offset %lld of %zu bytes", what, offset, length);
  } else {
    snprintf(text, sizeof(text), "%s, %zu bytes", what, length);
  }
  printfColorErrorLine("jsmn parse error", "");
  printfColorErrorLine("Error json: ", text);
}

static const char* jsmnErrorName(int code) {
  switch (code) {
    case JSMN_ERROR_NOMEM:
      return "too many tokens (JSMN_ERROR_NOMEM)";
    case JSMN_ERROR_INVAL:
      return "invalid character (JSMN_ERROR_INVAL)";
    case JSMN_ERROR_PART:
      return "text ends inside a value (JSMN_ERROR_PART)";
    default:
      return "parse error";
  }
}

// The text's tokens, each inside the text; their count, or -1 (with an
// error line) when the text is no object of at least one pair.
static int tokenize(const char* text, size_t length, jsmntok_t (&tokens)[KESTROVAN_JSON_MAX_TOKENS]) {
  jsmn_parser parser;
  jsmn_init(&parser);
  int n = jsmn_parse(&parser, text, length, tokens, KESTROVAN_JSON_MAX_TOKENS);
  if (n < 0) {
    printParseError(jsmnErrorName(n), (long long)parser.pos, length);
    return -1;
  }
  if (n < 2 || n > KESTROVAN_JSON_MAX_TOKENS) {
    char what[64];
    snprintf(what, sizeof(what), "%d token%s, at least 2 needed", n, n == 1 ? "" : "s");
    printParseError(what, -1, length);
    return -1;
  }
  for (int i = 0; i < n; i++) {
    if (tokens[i].start < 0 || tokens[i].end < tokens[i].start || tokens[i].end > (int)length) {
      printParseError("token outside the text", (long long)tokens[i].start, length);
      return -1;
    }
  }
  return n;
}

// The items to pair are the object's own members: every token after the
// first that does not lie inside an earlier item (a nested object or array
// is one item, its own tokens are skipped). For a flat text these are all
// tokens after the first, so pairing them from the end gives the same pairs
// as pairing the tokens themselves; a nested value never shifts the pairs
// before it. Returns the number of items.
static int memberItems(const jsmntok_t* tokens, int n, int (&items)[KESTROVAN_JSON_MAX_TOKENS]) {
  int itemCount = 0;
  for (int j = 1; j < n;) {
    items[itemCount++] = j;
    int next = j + 1;
    while (next < n && tokens[next].start < tokens[j].end) {
      next++;
    }
    j = next;
  }
  return itemCount;
}

// Copies text[token] into *at, zero-terminated; *at moves past it.
static char* copyToken(const char* text, const jsmntok_t& token, char** at) {
  size_t length = (size_t)(token.end - token.start);
  char* copy = *at;
  memcpy(copy, text + token.start, length);
  copy[length] = '\0';
  *at += length + 1;
  return copy;
}

// A value with escapes, undone in place as Base64DecodeFix does (never
// longer than before).
static void undoEscapes(char* value, size_t length) {
  if (memchr(value, '\\', length) == nullptr)
    return;
  char* fixed = Base64DecodeFix(value);
  if (fixed == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    value[0] = '\0';
    return;
  }
  size_t fixedLength = strlen(fixed);
  secureWipe(value, length);
  memcpy(value, fixed, fixedLength + 1);
  freeSecret(fixed);
}

KestrovanJsonMap* getKestrovanJsonMap(const char* inputJsonStr) {
  if (inputJsonStr == nullptr) {
    showNullParameter("inputJsonStr", MODULE, __LINE__);
    return nullptr;
  }
  size_t length = strlen(inputJsonStr);
  // Token positions are ints; nothing a page may send comes close.
  if (length > (size_t)INT_MAX) {
    printParseError("text too long", -1, length);
    return nullptr;
  }

  jsmntok_t tokens[KESTROVAN_JSON_MAX_TOKENS];
  int n = tokenize(inputJsonStr, length, tokens);
  if (n < 0)
    return nullptr;
  int items[KESTROVAN_JSON_MAX_TOKENS];
  int itemCount = memberItems(tokens, n, items);

  // The pairs, from the end, as many as the map holds, and the room their
  // texts need (undoing escapes never lengthens a value).
  int pairs = 0;
  uint64_t room = 0;
  for (int i = itemCount - 2; i >= 0 && pairs < KESTROVAN_MAP_CAPACITY; i -= 2, pairs++) {
    const jsmntok_t& keyToken = tokens[items[i]];
    const jsmntok_t& valueToken = tokens[items[i + 1]];
    room += (uint64_t)(keyToken.end - keyToken.start) + 1 + (uint64_t)(valueToken.end - valueToken.start) + 1;
  }
  // The map and every text in one block. Adapters get this map: its unused
  // entries are zero, as they always were.
  char* at = nullptr;
  KestrovanJsonMap* map = KestrovanJson_newMapFrom(inputJsonStr, length, room, &at);
  if (map == nullptr) {
    showMemoryFail(MODULE, __LINE__);
    return nullptr;
  }

  for (int i = itemCount - 2; i >= 0 && map->count < pairs; i -= 2) {
    KestrovanJsonUnit& unit = map->units[map->count];
    unit.key = copyToken(inputJsonStr, tokens[items[i]], &at);
    const jsmntok_t& valueToken = tokens[items[i + 1]];
    unit.value = copyToken(inputJsonStr, valueToken, &at);
    undoEscapes(unit.value, (size_t)(valueToken.end - valueToken.start));
    map->count++;
  }

  KestrovanJson_sortUnits(map);
  return map;
}
