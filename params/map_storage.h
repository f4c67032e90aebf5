// SPDX-License-Identifier: Apache-2.0
// map_storage.h -- what the JSON reader (json.cpp) needs of the map's
// storage (map.cpp): a map block whose room starts with the source text,
// and sorting its entries once they are in.
#ifndef KESTROVAN_PARAMS_MAP_STORAGE_H
#define KESTROVAN_PARAMS_MAP_STORAGE_H

#include <cstddef>
#include <cstdint>

#include "include/kestrovan/adapter.h"

// A map (no entries, units zeroed) whose room holds the source's length
// bytes and a zero byte, then room bytes more, which start at *rest; the
// entries' texts go there and are wiped and freed with the map. Null when
// memory runs out (nothing printed).
KestrovanJsonMap* KestrovanJson_newMapFrom(const char* source, size_t length, uint64_t room, char** rest);

// Sorts the entries by key, ignoring case, as lookups need them.
void KestrovanJson_sortUnits(KestrovanJsonMap* map);

#endif
