// SlfFopen2: the guarded open. Refuses parent references, links, hard links
// and directories, optionally checks the directory, and makes sure the
// stream it opened is the very file it examined.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string_view>

#include "securefile/slf_dircheck.h"
#include "securefile/slf_file.h"
#include "securefile/slf_handle.h"
#include "securefile/slf_text.h"

namespace {

using PathText = SlfText<kSlfPathBuffer>;

// Longest name accepted without a directory argument: one more than with
// one, since no separator is added. A 4095-character path is still refused
// by the plain open's name builder.
constexpr size_t kMaxBareName = kSlfMaxComposedPath + 1;

constexpr const char* kParentMessage = "parent directory references exist";

bool isStandardKind(int32_t kind) {
  return kind == kSlfKindStdin || kind == kSlfKindStdout || kind == kSlfKindStderr;
}

// dir, "/" unless dir ends in one, and name; or name alone when dir is null
// or empty. False when the lengths are over the limits.
bool composePath(const char* name, const char* dir, PathText& out) {
  const std::string_view nameText(name);
  if (dir == nullptr || dir[0] == '\0') {
    return nameText.size() <= kMaxBareName && out.append(nameText);
  }
  const std::string_view dirText(dir);
  if (dirText.size() + nameText.size() > kSlfMaxComposedPath) {
    return false;
  }
  return out.append(dirText) && (dirText.ends_with('/') || out.append("/")) && out.append(nameText);
}

// A ".." whose first occurrence starts at or before the character after the
// last "/": anywhere in the directory part, or at the start of the last
// component (of the whole name when there is no "/").
bool hasParentReference(std::string_view path) {
  const size_t dots = path.find("..");
  if (dots == std::string_view::npos) {
    return false;
  }
  const size_t lastSlash = path.rfind('/');
  const size_t lastComponent = lastSlash == std::string_view::npos ? 0 : lastSlash + 1;
  return dots <= lastComponent;
}

// The examined file must be a single-linked regular file; the tests run in
// this order. A FIFO, a device or a socket is no file of settings: reading
// one could wait forever or touch a device.
bool acceptExamined(const struct stat& examined, slosErrRec* record) {
  if (S_ISLNK(examined.st_mode)) {
    slosFillErr(record, kSlosErrRefused, 0, "soft link detected", "slsfopen4");
    return false;
  }
  if (examined.st_nlink > 1) {
    slosFillErr(record, kSlosErrRefused, 0, "hard links detected", "slsfopen5");
    return false;
  }
  if (S_ISDIR(examined.st_mode)) {
    slosFillErr(record, kSlosErrRefused, 0, "Input is a Directory", "slsfopen5");
    return false;
  }
  if (!S_ISREG(examined.st_mode)) {
    slosFillErr(record, kSlosErrRefused, 0, "not a regular file", "slsfopen5");
    return false;
  }
  return true;
}

// The open stream must be a regular file and, when a file was examined
// before the open, that very file: same inode, same device. Otherwise the
// stream is closed and the handle released.
SlfFile* verifyOpened(SlfFile* handle, const struct stat* examined, slosErrRec* record) {
  struct stat opened {};
  if (fstat(fileno(static_cast<FILE*>(handle->stream)), &opened) != 0) {
    slosFillErr(record, kSlosErrSystem, errno, "fstat failed", "slsfopen6");
    slfDiscard(handle);
    return nullptr;
  }
  if (examined != nullptr &&
      (opened.st_ino != examined->st_ino || opened.st_dev != examined->st_dev)) {
    slosFillErr(record, kSlosErrRefused, 0, "target altered", "slsfopen7");
    slfDiscard(handle);
    return nullptr;
  }
  if (!S_ISREG(opened.st_mode)) {
    slosFillErr(record, kSlosErrRefused, 0, "not a regular file", "slsfopen7");
    slfDiscard(handle);
    return nullptr;
  }
  return handle;
}

}  // namespace

SlfFile* SlfFopen2(const char* name, const char* dir, int32_t access, int32_t flags, int32_t kind,
                   slosErrRec* record, int32_t vfsFlags) {
  // Standard streams and file-location requests are the plain open's.
  if (isStandardKind(kind) || (vfsFlags & (kSlfVfsTry | kSlfVfsOption)) != 0) {
    return SlfFopen(name, dir, access, flags, kind, record, vfsFlags);
  }

  PathText path;
  if (!composePath(name, dir, path)) {
    slosFillErr(record, kSlosErrTooLong, 0, "file name too long", "SlfFopen");
    return nullptr;
  }
  if (hasParentReference(path.view())) {
    slosFillErr(record, kSlosErrRefused, 0, kParentMessage, "slsfopen2");
    slosOtherInfo(record, kParentMessage);
    return nullptr;
  }
  const bool hasDir = dir != nullptr && dir[0] != '\0';
  if ((flags & (kSlfFlagResolveDir | kSlfFlagSecureDir)) != 0 &&
      !slfCheckDirectory(path.view(), hasDir, flags, record)) {
    return nullptr;
  }

  struct stat examined {};
  if (lstat(path.c_str(), &examined) != 0) {
    if (errno == ENOENT) {
      // Nothing there yet to examine: the open creates or reports it, and
      // what it opened must be a regular file all the same.
      SlfFile* handle = SlfFopen(path.c_str(), nullptr, access, flags, kind, record, vfsFlags);
      return handle == nullptr ? nullptr : verifyOpened(handle, nullptr, record);
    }
    slosFillErr(record, kSlosErrSystem, errno, "lstat failed", "slsfopen3");
    return nullptr;
  }
  if (!acceptExamined(examined, record)) {
    return nullptr;
  }

  SlfFile* handle = SlfFopen(path.c_str(), nullptr, access, flags, kind, record, vfsFlags);
  if (handle == nullptr) {
    return nullptr;
  }
  return verifyOpened(handle, &examined, record);
}
