// SlfFopen: the plain open. Hands out the standard streams, files served by
// the file-location layer, or a C stream: one opened through ssOswFopen for
// writing, and for reading one made from a descriptor that was opened
// without waiting and without following a final link.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

#include <array>

#include "port/ss_wrappers.h"
#include "port/unique_handle.h"
#include "securefile/slf_file.h"
#include "securefile/slf_handle.h"
#include "securefile/lfv.h"

namespace {

constexpr const char* kTooLongMessage = "file name too long";
constexpr const char* kTooLongRoutine = "SlfFopen";
constexpr const char* kOpenMessage = "open failed";
constexpr const char* kOpenRoutine = "SlfFopen1";
constexpr const char* kNoMemoryMessage = "memory allocation failed";
constexpr const char* kNoMemoryStreamRoutine = "SlfFopen2";
constexpr const char* kNoMemoryVfsRoutine = "SlfFopen3";

// The mode string for fopen: read access keeps the file and ignores append;
// write access truncates or appends; any other access reads and writes.
constexpr const char* modeFor(int32_t access, int32_t flags) {
  const bool update = (flags & kSlfFlagUpdate) != 0;
  const bool append = (flags & kSlfFlagAppend) != 0;
  if (access == kSlfAccessRead) {
    return update ? "r+" : "r";
  }
  if (access == kSlfAccessWrite) {
    if (append) {
      return update ? "a+" : "a";
    }
    return update ? "w+" : "w";
  }
  return append ? "a+" : "w+";
}

// The record code of a failed fopen, by errno; everything unnamed is -8.
constexpr int32_t openFailureCode(int error) {
  switch (error) {
    case ENOENT:
      return kSlosErrNotFound;
    case EACCES:
      return kSlosErrAccess;
    case ENOSPC:
      return kSlosErrNoSpace;
    default:
      return kSlosErrSystem;
  }
}

// The process's current standard stream for kinds 2, 3 and 4, else null.
FILE* standardStream(int32_t kind) {
  switch (kind) {
    case kSlfKindStdin:
      return stdin;
    case kSlfKindStdout:
      return stdout;
    case kSlfKindStderr:
      return stderr;
    default:
      return nullptr;
  }
}

// A standard stream in a handle; the stream stays open whatever happens.
SlfFile* wrapStandardStream(FILE* stream, slosErrRec* record) {
  SlfFile* handle = slfNewHandle(stream, 0);
  if (handle == nullptr) {
    slosFillErr(record, kSlosErrSystem, errno, kNoMemoryMessage, kNoMemoryStreamRoutine);
  }
  return handle;
}

// Asks the file-location layer for path. Sets *done when the answer is final
// (a handle, or null after a failed allocation); otherwise the caller goes on
// with the C open. A failed lfvopen may have filled the record.
SlfFile* openFromLayer(const char* path, int32_t vfsFlags, slosErrRec* record, bool* done) {
  const int option = (vfsFlags & kSlfVfsOption) != 0 ? 1 : 0;
  lfvHandle* layerHandle = lfvopen(path, record, option);
  if (layerHandle == nullptr) {
    return nullptr;
  }
  *done = true;
  SlfFile* handle = slfNewHandle(layerHandle, 1);
  if (handle == nullptr) {
    slosFillErr(record, kSlosErrSystem, errno, kNoMemoryMessage, kNoMemoryVfsRoutine);
    (void)lfvclose(layerHandle);
  }
  return handle;
}

// Reading never waits for a writer (a FIFO put in the file's place opens at
// once, and the guarded open then refuses it), never follows a final link
// and never reaches a program the process executes.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

FILE* openStream(const char* path, int32_t access, int32_t flags) {
  if (access != kSlfAccessRead || (flags & kSlfFlagUpdate) != 0) {
    return ssOswFopen(path, modeFor(access, flags));
  }
  UniqueFd fd(ssOswOpen(path, kReadFlags, 0));
  if (!fd.valid()) {
    return nullptr;
  }
  FILE* stream = ssOswFdopen(fd.get(), "r");
  if (stream != nullptr) {
    (void)fd.release();  // the stream owns the descriptor now
  }
  return stream;
}

bool layerServes(const char* path, int32_t vfsFlags) {
  const int option = (vfsFlags & kSlfVfsOption) != 0 ? 1 : 0;
  return lfvIsVfsMode(path, 0, option) != 0;
}

}  // namespace

SlfFile* SlfFopen(const char* name, const char* dir, int32_t access, int32_t flags, int32_t kind,
                  slosErrRec* record, int32_t vfsFlags) {
  if (FILE* standard = standardStream(kind); standard != nullptr) {
    return wrapStandardStream(standard, record);
  }

  std::array<char, kSlfPathBuffer> path;
  if (Slfgfn(name, dir, nullptr, 0, path.data(), path.size(), record) != 0) {
    slosFillErr(record, kSlosErrTooLong, 0, kTooLongMessage, kTooLongRoutine);
    return nullptr;
  }

  if ((vfsFlags & kSlfVfsTry) != 0 && layerServes(path.data(), vfsFlags) &&
      access == kSlfAccessRead) {
    bool done = false;
    SlfFile* handle = openFromLayer(path.data(), vfsFlags, record, &done);
    if (done) {
      return handle;
    }
  }

  UniqueStream stream(openStream(path.data(), access, flags));
  if (!stream.valid()) {
    const int error = errno;
    slosFillErr(record, openFailureCode(error), error, kOpenMessage, kOpenRoutine);
    return nullptr;
  }
  SlfFile* handle = slfNewHandle(stream.get(), 0);
  if (handle == nullptr) {
    slosFillErr(record, kSlosErrSystem, errno, kNoMemoryMessage, kNoMemoryStreamRoutine);
    return nullptr;  // the owner closes the stream
  }
  (void)stream.release();
  return handle;
}
