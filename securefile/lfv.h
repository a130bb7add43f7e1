// File-location layer: files below the installation home served from memory
// by registered components. Nothing in the program registers a component, so
// the process-wide context stays zero-filled and the layer serves no path.
// Kept only for the plain open's interface, which asks it first when its
// caller sets the file-location bit (nothing in the program does).
#ifndef DORQ_SECUREFILE_LFV_H
#define DORQ_SECUREFILE_LFV_H

#include <stddef.h>
#include <stdint.h>

#include "port/slts_lazy_mutex.h"
#include "securefile/slos_err.h"

inline constexpr size_t kLfvNameBuffer = 1024;

// An open function: relative lower-cased path and a length out; returns the
// contents (owned by the component) or null.
using lfvOpenFunc = const void* (*)(const char* relativePath, uint32_t* length);

// Type values.
inline constexpr uint8_t kLfvTypeNotServed = 0;
inline constexpr uint8_t kLfvTypePackage = 2;
inline constexpr uint8_t kLfvTypeNoEntry = 3;
inline constexpr uint8_t kLfvTypeOwnOpen = 4;

struct lfvEntry {
  char name[kLfvNameBuffer];
  lfvEntry* next;
  uint8_t type;
  lfvOpenFunc* pkgFuncs;  // the package's function table; index 2 opens
  lfvOpenFunc openFunc;
  char pkgName[kLfvNameBuffer];
};

// flags bits
inline constexpr uint32_t kLfvFlagBuiltin = 0x1;
inline constexpr uint32_t kLfvFlagHome = 0x2;
inline constexpr uint32_t kLfvFlagOff = 0x4;
inline constexpr uint32_t kLfvFlagRegistering = 0x8;

struct lfvContext {
  uint32_t flags;
  sltsLazyMutex initLock;
  void* packageManager;
  char home[kLfvNameBuffer];
  uint32_t homeLength;
  void* threadContext;
  lfvEntry* tableHead;
  lfvEntry* packageList;
  lfvEntry builtin;
  uint64_t threadId;
};

struct lfvHandle {
  uint32_t size;
  uint32_t pos;
  const void* data;
};

// The process-wide context, zero-filled at start.
extern lfvContext lfvgblp;

int lfvIsVfsMode(const char* path, int mode, int option);
int lfvtyp(const char* key, int mode, int option);
lfvHandle* lfvopen(const char* path, slosErrRec* record, int option);
int lfvclose(lfvHandle* handle);
// Writes the lower-cased rest of path below the home into comp and cuts it
// at its first "/"; returns that position, or null when the path has no
// component. A rest that does not fit comp whole gives null, comp untouched.
char* lfvGetComp(const char* path, char* comp, size_t size);
int lfvtlsearch(lfvEntry* head, const char* key, lfvEntry** entryOut);
char* lstlo(char* dst, const char* src);
void* slfvMalloc(size_t size);
void slfvFree(void* p);

#endif  // DORQ_SECUREFILE_LFV_H
