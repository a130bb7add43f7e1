// The guarded open over a small real tree made at start in a private directory
// (files, a directory, links of both kinds, a hard link, names with ".."
// inside). Directory and name come from the fuzzer, optionally below the
// tree's absolute path, padded with "./" runs to reach the length limits, with
// any access, flags, kind and file-location bits; relative names resolve in
// the tree, which is the working directory during the call.
//
// What is checked holds whatever the rules' wording: a path over the length
// limits is refused unopened; a path with a ".." component is refused as a
// parent reference; whatever is opened is a single-linked regular file, the
// very one a walk of the path (one component at a time, O_PATH|O_NOFOLLOW)
// ends on, so never reached through a final link, nor through any link or
// "." when the directory was to be resolved; its descriptor reads, writes,
// appends and truncates as the access and flags ask; and, without directory
// checks, such a file named without ".." is not refused.
//
// Nothing outside the tree is written or blocked on: the stream-open wrapper
// of this program hands the real open only files that exist and resolve
// inside the tree (regular files and directories), refusing everything else,
// a host file, a device or a FIFO named by the bytes among them (EACCES); a
// file opened for writing gets its contents back after the call.
#include <errno.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/fuzz_support.h"
#include "port/ss_wrappers.h"
#include "port/unique_handle.h"
#include "securefile/slf_file.h"

namespace {

constexpr char kContents[] = "KVL_ADMIN=/net/admin\n";  // of every file of the tree
std::string gTree;
int gStartDir = -1;
bool gOpenAsked = false;  // a stream open was asked for
std::string gWritten;     // the file a stream was opened on to write, if any

// True when path names something that resolves inside the tree.
bool insideTree(const char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) {
    return false;
  }
  const std::string_view r(resolved);
  return r.starts_with(gTree) && (r.size() == gTree.size() || r[gTree.size()] == '/');
}

}  // namespace

extern "C" FILE* ssOswFopen(const char* path, const char* mode) {
  gOpenAsked = true;
  struct stat target {};
  if (stat(path, &target) != 0) {
    return nullptr;  // errno from stat: ENOENT, ENOTDIR, ENAMETOOLONG, ...
  }
  if ((!S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) || !insideTree(path)) {
    errno = EACCES;
    return nullptr;
  }
  FILE* const stream = ss_osw_wfopen(path, mode);
  if (stream != nullptr && strcmp(mode, "r") != 0) {
    gWritten = path;
  }
  return stream;
}

namespace {

constexpr size_t kMaxComposed = kSlfMaxComposedPath;
constexpr uint16_t kMaxPad = 2100;
constexpr const char* kParentMessage = "parent directory references exist";

void makeTree(const std::string& t) {
  using dorq_fuzz::writeWholeFile;
  for (const char* dir : {"dir", "dir/sub", "a..b", "empty", "x"}) {
    FUZZ_CHECK(mkdir((t + "/" + dir).c_str(), 0755) == 0);
  }
  for (const char* file : {"env.zan", "dir/env.zan", "dir/sub/deep", "a..b/env.zan", "..env",
                           "env..zan", "hard1", "x/y"}) {
    writeWholeFile(t + "/" + file, kContents);
  }
  FUZZ_CHECK(link((t + "/hard1").c_str(), (t + "/hard2").c_str()) == 0);
  FUZZ_CHECK(symlink("env.zan", (t + "/link").c_str()) == 0);
  FUZZ_CHECK(symlink("dir", (t + "/dirlink").c_str()) == 0);
  FUZZ_CHECK(symlink("missing", (t + "/dangling").c_str()) == 0);
  FUZZ_CHECK(symlink(t.c_str(), (t + "/dir/up").c_str()) == 0);
}

struct Call {
  int32_t access, flags, kind, vfsFlags;
  bool hasDir;
  std::string dir, name;
};

Call decode(FuzzedDataProvider& in) {
  Call c{};
  const auto control = in.ConsumeIntegral<uint16_t>();
  constexpr int32_t kAccess[] = {kSlfAccessRead, kSlfAccessWrite, 2, -7};
  c.access = kAccess[control & 3];
  c.flags = ((control & 0x4) != 0 ? kSlfFlagUpdate : 0) |
            ((control & 0x8) != 0 ? kSlfFlagAppend : 0) |
            ((control & 0x10) != 0 ? kSlfFlagResolveDir : 0) |
            ((control & 0x20) != 0 ? kSlfFlagSecureDir : 0);
  const int dirMode = (control >> 6) & 3;  // none, empty, text, tree + text
  const int kind = (control >> 8) & 7;     // mostly a named file
  c.kind = kind < 5 ? kSlfKindNamed : kind - 3;
  const int vfs = (control >> 11) & 7;
  c.vfsFlags = vfs == 7 ? kSlfVfsTry : (vfs == 6 ? kSlfVfsTry | kSlfVfsOption : 0);
  const bool absoluteName = (control & 0x4000) != 0;
  const bool padded = (control & 0x8000) != 0;
  const uint16_t pad = padded ? in.ConsumeIntegralInRange<uint16_t>(0, kMaxPad) : 0;

  c.dir = in.ConsumeRandomLengthString(2 * kSlfPathBuffer);
  c.name = in.ConsumeRemainingBytesAsString();
  c.dir.resize(strlen(c.dir.c_str()));  // as the C call will see them
  c.name.resize(strlen(c.name.c_str()));

  c.hasDir = dirMode != 0;
  std::string padding;
  for (uint16_t i = 0; i < pad; ++i) {
    padding += "./";
  }
  if (dirMode == 1) {
    c.dir.clear();
  } else if (dirMode == 3) {
    c.dir = gTree + "/" + padding + c.dir;
  } else if (dirMode == 2) {
    c.dir = padding + c.dir;
  }
  if (absoluteName) {
    c.name = gTree + "/" + (dirMode < 2 ? padding : "") + c.name;
  } else if (dirMode < 2) {
    c.name = padding + c.name;
  }
  return c;
}

// The path the call names: directory, a "/" unless it ends in one, and name;
// or the name alone. False when over the length limits.
bool composeModel(const Call& c, std::string* path) {
  if (c.hasDir && !c.dir.empty()) {
    if (c.dir.size() + c.name.size() > kMaxComposed) {
      return false;
    }
    *path = c.dir + (c.dir.back() == '/' ? "" : "/") + c.name;
    return true;
  }
  if (c.name.size() > kMaxComposed + 1) {
    return false;
  }
  *path = c.name;
  return true;
}

// Where path leads, one component at a time from the working directory (or
// "/"), a link in the last component not followed: whether the way has a ".."
// or "." component or passes a link, and the status of what it ends on (all
// zero when it ends on nothing).
struct Walk {
  bool parent, dot, link;
  struct stat end;
};

Walk walk(const std::string& path) {
  Walk w{};
  UniqueFd at(open(path.starts_with('/') ? "/" : ".", O_PATH | O_CLOEXEC));
  struct stat here {};
  bool found = at.valid() && fstat(at.get(), &here) == 0;
  for (size_t start = 0; start < path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, slash - start);
    start = slash + 1;
    w.parent |= part == "..";
    w.dot |= part == ".";
    if (!found || part.empty() || part == ".") {
      found = found && S_ISDIR(here.st_mode);
      continue;
    }
    UniqueFd next(openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    found = next.valid() && fstat(next.get(), &here) == 0;
    if (found && S_ISLNK(here.st_mode) && slash < path.size()) {
      w.link = true;
      next.reset(openat(at.get(), part.c_str(), O_PATH | O_CLOEXEC));
      found = next.valid() && fstat(next.get(), &here) == 0;
    }
    at = std::move(next);
  }
  if (found && (!path.ends_with('/') || S_ISDIR(here.st_mode))) {
    w.end = here;
  }
  return w;
}

bool terminatedRecord(const slosErrRec& r) {
  return memchr(r.message, '\0', sizeof r.message) != nullptr &&
         memchr(r.routine, '\0', sizeof r.routine) != nullptr &&
         memchr(r.otherInfo, '\0', sizeof r.otherInfo) != nullptr;
}

bool singleLinkedFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

void checkNamedOpen(const Call& c, SlfFile* handle, const slosErrRec& record,
                    const std::string* path, const Walk& named) {
  if (path == nullptr) {
    FUZZ_CHECK(handle == nullptr && !gOpenAsked);
    FUZZ_CHECK(record.code == kSlosErrTooLong);
    FUZZ_CHECK(strcmp(record.message, "file name too long") == 0);
    FUZZ_CHECK(strcmp(record.routine, "SlfFopen") == 0);
    return;
  }
  if (named.parent) {
    FUZZ_CHECK(handle == nullptr && !gOpenAsked && record.code == kSlosErrRefused);
    FUZZ_CHECK(strcmp(record.otherInfo, kParentMessage) == 0);
  }
  if (handle == nullptr) {
    FUZZ_CHECK(record.code < 0 && terminatedRecord(record));
    const bool dirChecks = (c.flags & (kSlfFlagResolveDir | kSlfFlagSecureDir)) != 0;
    FUZZ_CHECK(dirChecks || path->size() > kMaxComposed || path->find("..") != std::string::npos ||
               !singleLinkedFile(named.end) || !insideTree(path->c_str()));
    return;
  }
  struct stat opened {};
  const int fd = fileno(static_cast<FILE*>(handle->stream));
  FUZZ_CHECK(fstat(fd, &opened) == 0 && singleLinkedFile(opened));
  FUZZ_CHECK(opened.st_ino == named.end.st_ino && opened.st_dev == named.end.st_dev);
  FUZZ_CHECK((c.flags & kSlfFlagResolveDir) == 0 || (!named.link && !named.dot));
  // Read access reads, write access writes, any other does both; update adds
  // the other direction; append appends, except to a read; a write that does
  // not append truncates.
  const bool read = c.access == kSlfAccessRead, write = c.access == kSlfAccessWrite;
  const bool update = (c.flags & kSlfFlagUpdate) != 0, append = (c.flags & kSlfFlagAppend) != 0;
  const int status = fcntl(fd, F_GETFL);
  FUZZ_CHECK(((status & O_ACCMODE) != O_RDONLY) == (!read || update));
  FUZZ_CHECK(((status & O_ACCMODE) != O_WRONLY) == (!write || update));
  FUZZ_CHECK(((status & O_APPEND) != 0) == (!read && append));
  FUZZ_CHECK((opened.st_size == 0) == (named.end.st_size == 0 || (!read && !append)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The tree's resolved path, so that what resolves inside it starts with it.
  char resolved[PATH_MAX];
  FUZZ_CHECK(realpath(dorq_fuzz::privateDir("open").c_str(), resolved) != nullptr);
  gTree = resolved;
  makeTree(gTree);
  gStartDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FUZZ_CHECK(gStartDir >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const Call c = decode(in);

  slosErrRec record;
  memset(&record, 0x5A, sizeof record);
  slosInitErr(&record);
  gOpenAsked = false;
  gWritten.clear();

  FUZZ_CHECK(chdir(gTree.c_str()) == 0);
  std::string path;
  const bool fits = composeModel(c, &path);
  const Walk named = fits ? walk(path) : Walk{};
  SlfFile* const handle = SlfFopen2(c.name.c_str(), c.hasDir ? c.dir.c_str() : nullptr, c.access,
                                    c.flags, c.kind, &record, c.vfsFlags);
  const bool standard = c.kind != kSlfKindNamed;
  if (standard) {
    // Standard streams pass straight through and stay open after the close.
    FILE* const expected = c.kind == kSlfKindStdin    ? stdin
                           : c.kind == kSlfKindStdout ? stdout
                                                      : stderr;
    FUZZ_CHECK(handle != nullptr && handle->stream == expected);
  } else if (c.vfsFlags == 0) {
    checkNamedOpen(c, handle, record, fits ? &path : nullptr, named);
  }
  if (handle != nullptr) {
    FUZZ_CHECK(SlfFclose(handle, &record, 0) == 0);
  }
  if (!gWritten.empty()) {
    dorq_fuzz::writeWholeFile(gWritten, kContents);
  }
  FUZZ_CHECK(fchdir(gStartDir) == 0);
  if (standard) {
    FUZZ_CHECK(fcntl(fileno(stdout), F_GETFD) != -1 && fcntl(fileno(stderr), F_GETFD) != -1);
  }
  return 0;
}
