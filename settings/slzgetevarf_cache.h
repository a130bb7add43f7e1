// The settings cache: the accepted lines of the settings file, read once per
// process and kept until exit. Shared by the lookup, the reader and the
// cleanup; nothing outside the settings lookup touches it.
#ifndef DORQ_SETTINGS_SLZGETEVARF_CACHE_H
#define DORQ_SETTINGS_SLZGETEVARF_CACHE_H

#include <stdint.h>

#include "port/slts_lazy_mutex.h"

// One accepted line of the settings file, allocated with ssMemMalloc.
struct slzgetevarf_entry {
  char* name;               // NUL-terminated, 1 to 63 characters
  char* value;              // NUL-terminated, 1 to 1024 characters
  slzgetevarf_entry* next;  // next entry in file order, null for the last
};

// First entry of the cache; null until a read of the settings file has
// finished with at least one accepted line. Published with release ordering
// and read with acquire ordering, so a lookup sees no list or the whole list.
extern slzgetevarf_entry* slzgetevarf_env_head;
// 0 until the settings file is about to be opened, then 1 for good.
extern uint32_t slzgetevarf_parse_attempted;
// Serialises the one read of the settings file; zero-filled until first use.
extern sltsLazyMutex slzgetevarf_mx;

inline slzgetevarf_entry* slzgetevarfCacheHead() {
  return __atomic_load_n(&slzgetevarf_env_head, __ATOMIC_ACQUIRE);
}

inline bool slzgetevarfParseAttempted() {
  return __atomic_load_n(&slzgetevarf_parse_attempted, __ATOMIC_ACQUIRE) != 0;
}

#endif  // DORQ_SETTINGS_SLZGETEVARF_CACHE_H
