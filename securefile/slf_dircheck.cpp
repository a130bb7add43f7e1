// The guarded open's directory checks: build the absolute directory text,
// normalise it, then the security check and the resolution check.
#include "securefile/slf_dircheck.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "securefile/sldir_pthsec.h"
#include "securefile/slf_file.h"
#include "securefile/slf_text.h"

namespace {

// Each working text holds a whole path buffer's worth of characters.
using DirText = SlfText<kSlfPathBuffer>;
// getcwd is asked for at most this many bytes, terminator included.
constexpr size_t kCwdLimit = kSlfPathBuffer;

constexpr const char* kResolveRoutine = "slsfopen3";
constexpr const char* kTooLongMessage = "file name too long";
constexpr const char* kRefuseRoutine = "slsfopen4";

// The absolute directory of path: for a relative path without a directory
// argument the working directory and a "/" come first, then the part of the
// path before its last "/". When the working directory, the "/" and the
// directory part together exceed the 4096 characters of the buffer, the open
// is refused as (-11, 0, "file name too long", "slsfopen3"): the class of a
// name that is too long, tagged with the step that builds this text. Nothing
// is cut, since a shortened directory would name another place.
bool absoluteDirectory(std::string_view path, bool hasDir, DirText& out, slosErrRec* record) {
  if (!hasDir && !path.starts_with('/')) {
    if (getcwd(out.room(), kCwdLimit) == nullptr) {
      slosFillErr(record, kSlosErrSystem, errno, "getcwd failed", kResolveRoutine);
      return false;
    }
    out.recount();
    if (!out.append("/")) {
      slosFillErr(record, kSlosErrTooLong, 0, kTooLongMessage, kResolveRoutine);
      return false;
    }
  }
  const size_t lastSlash = path.rfind('/');
  const std::string_view dirPart = lastSlash == std::string_view::npos
                                       ? std::string_view()
                                       : std::string_view(path.data(), lastSlash);
  if (!out.append(dirPart)) {
    slosFillErr(record, kSlosErrTooLong, 0, kTooLongMessage, kResolveRoutine);
    return false;
  }
  return true;
}

// Every run of "/" becomes one "/", and one final "/" goes: "/" alone
// becomes empty. The result is never longer than the input.
void normalise(std::string_view text, DirText& out) {
  for (const char c : text) {
    if (c == '/' && out.view().ends_with('/')) {
      continue;
    }
    out.push(c);
  }
  if (out.view().ends_with('/')) {
    out.dropLast();
  }
}

bool checkSecure(const DirText& dir, slosErrRec* record) {
  const int result = SldirIsPthSec(dir.c_str(), record);
  if (result == 0) {
    slosFillErr(record, kSlosErrRefused, 0, "Input path is not secure", kRefuseRoutine);
  }
  // A failed check has left its own record.
  return result > 0;
}

// Any link, "." component or other difference between the directory as
// written and as resolved is refused.
bool checkResolved(const DirText& dir, slosErrRec* record) {
  DirText resolved;
  if (realpath(dir.c_str(), resolved.room()) == nullptr) {
    slosFillErr(record, kSlosErrSystem, errno, "realpath failed", kResolveRoutine);
    return false;
  }
  resolved.recount();
  if (resolved.view() != dir.view()) {
    slosFillErr(record, kSlosErrRefused, 0, "soft link in path", kRefuseRoutine);
    return false;
  }
  return true;
}

}  // namespace

bool slfCheckDirectory(std::string_view path, bool hasDir, int32_t flags, slosErrRec* record) {
  DirText absolute;
  if (!absoluteDirectory(path, hasDir, absolute, record)) {
    return false;
  }
  DirText normalised;
  normalise(absolute.view(), normalised);

  if ((flags & kSlfFlagSecureDir) != 0 && !checkSecure(normalised, record)) {
    return false;
  }
  if ((flags & kSlfFlagResolveDir) != 0 && !checkResolved(normalised, record)) {
    return false;
  }
  return true;
}
