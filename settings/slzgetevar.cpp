// The settings lookup: the environment decides alone for every name it holds;
// only names missing there are looked up in the cache of the settings file,
// which is read on the first such miss.
#include "settings/slzgetevar.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "settings/slzgetevarf_cache.h"

namespace {

// The name's copy: 63 characters and the terminator.
constexpr size_t kNameBuffer = kSlzMaxName + 1;

// The installation home is taken from the environment only, never from the
// settings file that lies in it.
constexpr std::string_view kHomeSetting = "ZANTIX_HOME";

int32_t fail(uint32_t* errnum, uint32_t error, int32_t result) {
  *errnum = error;
  return result;
}

bool invalidRequest(const char* name, uint64_t namelen, const char* buf, uint64_t bufsize) {
  return name == nullptr || namelen == 0 || buf == nullptr || bufsize == 0 || name[0] == '\0';
}

// Follows the chain of environment values: each value names the next
// variable for as long as such a variable exists. The first value counts as
// the first of the chain; a chain that reaches a 256th value (a variable
// naming itself, for one) gives null.
const char* followIndirection(const char* value) {
  int count = 1;
  for (const char* next = getenv(value); next != nullptr; next = getenv(value)) {
    value = next;
    ++count;
    if (count >= kSlzMaxChain) {
      return nullptr;
    }
  }
  return value;
}

// Step for a name the environment holds. A value longer than the buffer
// leaves its first bufsize bytes in it; one longer than 4096 bytes is refused
// even when it fits, and then stays in the buffer whole.
int32_t fromEnvironment(uint32_t* errnum, const char* value, char* buf, uint64_t bufsize,
                        uint32_t options) {
  if ((options & kSlzOptIndirect) != 0) {
    value = followIndirection(value);
    if (value == nullptr) {
      return fail(errnum, kSlzInvalid, kSlzResultError);
    }
  }
  const size_t length = strlen(value);
  if (length == 0) {
    return fail(errnum, kSlzNotSet, kSlzResultNotSet);
  }
  memcpy(buf, value, static_cast<size_t>(std::min<uint64_t>(length, bufsize)));
  if (length > bufsize || length > kSlzMaxEnvValue) {
    return fail(errnum, kSlzTooLong, kSlzResultError);
  }
  return static_cast<int32_t>(length);
}

const slzgetevarf_entry* findCached(const slzgetevarf_entry* entry, const char* name) {
  for (; entry != nullptr; entry = entry->next) {
    if (strcmp(entry->name, name) == 0) {
      return entry;
    }
  }
  return nullptr;
}

// Step for a name missing from the environment. A lookup that finds the file
// already being read by another thread (the attempt is marked before the
// open) reports not set rather than waiting; the program has one thread.
int32_t fromSettingsFile(uint32_t* errnum, const char* name, char* buf, uint64_t bufsize) {
  if (std::string_view(name) == kHomeSetting) {
    return fail(errnum, kSlzNotSet, kSlzResultNotSet);
  }
  const slzgetevarf_entry* head = slzgetevarfCacheHead();
  if (head == nullptr) {
    if (slzgetevarfParseAttempted() || slzgetevarf_read_default() != 0) {
      return fail(errnum, kSlzNotSet, kSlzResultNotSet);
    }
    head = slzgetevarfCacheHead();
  }
  const slzgetevarf_entry* const entry = findCached(head, name);
  if (entry == nullptr) {
    return fail(errnum, kSlzNotSet, kSlzResultNotSet);
  }
  // Values from the file are at most 1024 bytes; one longer than the buffer
  // is an invalid request and leaves the buffer untouched.
  const size_t length = strlen(entry->value);
  if (length > bufsize) {
    return fail(errnum, kSlzInvalid, kSlzResultError);
  }
  memcpy(buf, entry->value, length);
  return static_cast<int32_t>(length);
}

}  // namespace

int32_t slzgetevar(uint32_t* errnum, const char* name, uint64_t namelen, char* buf,
                   uint64_t bufsize, uint32_t options) {
  if (errnum == nullptr) {
    return kSlzResultError;
  }
  *errnum = kSlzOk;
  if (invalidRequest(name, namelen, buf, bufsize)) {
    return fail(errnum, kSlzInvalid, kSlzResultError);
  }
  if (namelen > kSlzMaxName) {
    return fail(errnum, kSlzTooLong, kSlzResultError);
  }
  // The name need not be terminated: its first namelen bytes count, up to
  // the first NUL among them.
  char key[kNameBuffer];
  const size_t keyLength = strnlen(name, static_cast<size_t>(namelen));
  memcpy(key, name, keyLength);
  key[keyLength] = '\0';

  const char* const value = getenv(key);
  if (value != nullptr) {
    return fromEnvironment(errnum, value, buf, bufsize, options);
  }
  return fromSettingsFile(errnum, key, buf, bufsize);
}
