// Secure file access: the guarded open, the plain open, name building, line
// reads and close. Every failure is reported through the caller's slosErrRec.
#ifndef DORQ_SECUREFILE_SLF_FILE_H
#define DORQ_SECUREFILE_SLF_FILE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "port/unique_handle.h"
#include "securefile/slos_err.h"

// The handle the opens return; released by SlfFclose in every case.
struct SlfFile {
  void* stream;  // FILE*, or the file-location handle when isVfs is 1
  uint8_t isVfs;
};

// access
inline constexpr int32_t kSlfAccessRead = 0;
inline constexpr int32_t kSlfAccessWrite = 1;
// flags
inline constexpr int32_t kSlfFlagUpdate = 0x001;
inline constexpr int32_t kSlfFlagResolveDir = 0x010;
inline constexpr int32_t kSlfFlagSecureDir = 0x020;
inline constexpr int32_t kSlfFlagAppend = 0x400;
// kind
inline constexpr int32_t kSlfKindNamed = 1;
inline constexpr int32_t kSlfKindStdin = 2;
inline constexpr int32_t kSlfKindStdout = 3;
inline constexpr int32_t kSlfKindStderr = 4;
// vfsFlags
inline constexpr int32_t kSlfVfsTry = 0x1;
inline constexpr int32_t kSlfVfsOption = 0x2;

// Capacity of every path buffer of this layer, terminator included.
inline constexpr size_t kSlfPathBuffer = 4096;
// Longest composed path (directory, separator and name) that is accepted.
inline constexpr size_t kSlfMaxComposedPath = 4094;

SlfFile* SlfFopen2(const char* name, const char* dir, int32_t access, int32_t flags, int32_t kind,
                   slosErrRec* record, int32_t vfsFlags);
SlfFile* SlfFopen(const char* name, const char* dir, int32_t access, int32_t flags, int32_t kind,
                  slosErrRec* record, int32_t vfsFlags);
// 0, or -1 when dir, name and ext do not fit outSize bytes.
int Slfgfn(const char* name, const char* dir, const char* ext, int reserved, char* out,
           size_t outSize, slosErrRec* record);
// 0 a line (or piece) read, -2 end of file, -1 error.
int SlfFgts(SlfFile* handle, char* buf, int size, slosErrRec* record, int reserved);
// 0, -1 on a failed close, or lfvclose's result; the handle is always released.
int SlfFclose(SlfFile* handle, slosErrRec* record, int reserved);

// The owner of a handle from the opens: closed through SlfFclose, whose
// record is not examined.
struct SlfFileTraits {
  using Handle = SlfFile*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle file) {
    slosErrRec record;
    slosInitErr(&record);
    return SlfFclose(file, &record, 0);
  }
};
using UniqueSlfFile = UniqueHandle<SlfFileTraits>;

#endif  // DORQ_SECUREFILE_SLF_FILE_H
