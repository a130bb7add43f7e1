// File-location layer queries: the component of a path below the
// installation home, the component table search and the type of a key.
// The thread run mode, with one context per thread, is never entered in this
// program, so every query reads the process-wide context.
#include <string.h>

#include <string_view>

#include "securefile/lfv.h"

// The process-wide context. Nothing in the program registers a component, so
// it keeps its zero-filled initial state.
lfvContext lfvgblp{};

namespace {

constexpr int kSearchFound = 0;
constexpr int kSearchNotFound = -5;

// The component that the built-in entry answers for when flags bit 0 is set.
constexpr std::string_view kBuiltinComponent = "rdbms";

// Key kinds of lfvtyp.
constexpr int kModePath = 0;
constexpr int kModeName = 1;
constexpr int kModeNameAlt = 2;
// Option bit 0: the built-in entry, when present, answers for any key.
constexpr int kOptionBuiltin = 0x1;

bool hasFlag(const lfvContext& ctx, uint32_t flag) {
  return (ctx.flags & flag) != 0;
}

// A recorded home is a prefix of at most 1023 bytes of the home text; a
// length that the buffer cannot hold counts as no home at all.
std::string_view recordedHome(const lfvContext& ctx) {
  if (ctx.homeLength == 0 || ctx.homeLength >= kLfvNameBuffer) {
    return {};
  }
  return {ctx.home, ctx.homeLength};
}

// The key of an entry: its name up to the terminator, within its buffer.
std::string_view entryName(const lfvEntry& entry) {
  return {entry.name, strnlen(entry.name, kLfvNameBuffer)};
}

}  // namespace

char* lstlo(char* dst, const char* src) {
  size_t i = 0;
  for (; src[i] != '\0'; ++i) {
    const char c = src[i];
    dst[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  dst[i] = '\0';
  return dst;
}

// The rest of the path after the home must fit comp whole, terminator
// included: a rest of size characters or more is not served (null, comp
// untouched), because a shortened path would name some other file.
char* lfvGetComp(const char* path, char* comp, size_t size) {
  const std::string_view home = recordedHome(lfvgblp);
  if (home.empty() || strncmp(path, home.data(), home.size()) != 0) {
    return nullptr;
  }
  const char* rest = path + home.size();
  while (*rest == '/') {
    ++rest;
  }
  if (strlen(rest) >= size) {
    return nullptr;
  }
  lstlo(comp, rest);
  // A file directly in the home has no component.
  char* const slash = strchr(comp, '/');
  if (slash == nullptr) {
    return nullptr;
  }
  *slash = '\0';
  return slash;
}

int lfvtlsearch(lfvEntry* head, const char* key, lfvEntry** entryOut) {
  const std::string_view wanted(key);
  for (lfvEntry* entry = head; entry != nullptr; entry = entry->next) {
    if (entryName(*entry) == wanted) {
      *entryOut = entry;
      return kSearchFound;
    }
  }
  return kSearchNotFound;
}

// A mode other than path (0) or name (1, 2) finds no entry.
int lfvtyp(const char* key, int mode, int option) {
  const lfvContext& ctx = lfvgblp;
  if (hasFlag(ctx, kLfvFlagOff)) {
    return kLfvTypeNotServed;
  }
  const bool builtin = hasFlag(ctx, kLfvFlagBuiltin);
  if ((option & kOptionBuiltin) != 0 && builtin) {
    return ctx.builtin.type;
  }
  if (ctx.tableHead == nullptr) {
    return kLfvTypeNoEntry;
  }
  char comp[kLfvNameBuffer];
  const char* searchKey = key;
  if (mode == kModePath) {
    if (lfvGetComp(key, comp, sizeof comp) == nullptr) {
      return kLfvTypeNoEntry;
    }
    if (builtin && std::string_view(comp) == kBuiltinComponent) {
      return ctx.builtin.type;
    }
    searchKey = comp;
  } else if (mode != kModeName && mode != kModeNameAlt) {
    return kLfvTypeNoEntry;
  }
  lfvEntry* entry = nullptr;
  if (lfvtlsearch(ctx.tableHead, searchKey, &entry) != kSearchFound) {
    return kLfvTypeNoEntry;
  }
  return entry->type;
}

int lfvIsVfsMode(const char* path, int mode, int option) {
  const int type = lfvtyp(path, mode, option);
  return (type == kLfvTypePackage || type == kLfvTypeOwnOpen) ? 1 : 0;
}
