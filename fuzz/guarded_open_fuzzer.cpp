// The guarded open's name rules: composition of directory and name, the length
// limits and the parent-reference rule, over a small real tree made at start
// in a private directory (files, a directory, links of both kinds, names with
// ".." inside). Directory and name come from the fuzzer, optionally below the
// tree's absolute path, padded with "./" runs to reach the length limits, with
// any access, flags, kind and file-location bits; relative names resolve in
// the tree, which is the working directory during the call.
//
// Nothing may be written or blocked on, and nothing outside the tree opened:
// the stream-open wrapper of this program hands the real open only read mode
// ("r") on a regular file or a directory that resolves inside the tree, and
// refuses every other mode (EROFS) and everything else, a host file, a device
// or a FIFO named by the bytes among them (EACCES).
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

#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "port/ss_wrappers.h"
#include "securefile/slf_file.h"

namespace {

std::string gTree;
int gStartDir = -1;
std::string gLastMode;  // the mode of the last stream open asked for
bool gOpenAsked = false;

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
  gLastMode = mode;
  if (gLastMode != "r") {
    errno = EROFS;
    return nullptr;
  }
  struct stat target {};
  if (stat(path, &target) != 0) {
    return nullptr;  // errno from stat: ENOENT, ENOTDIR, ENAMETOOLONG, ...
  }
  if ((!S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) || !insideTree(path)) {
    errno = EACCES;
    return nullptr;
  }
  return ss_osw_wfopen(path, mode);
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
    writeWholeFile(t + "/" + file, "KVL_ADMIN=/net/admin\n");
  }
  FUZZ_CHECK(link((t + "/hard1").c_str(), (t + "/hard2").c_str()) == 0);
  FUZZ_CHECK(symlink("env.zan", (t + "/link").c_str()) == 0);
  FUZZ_CHECK(symlink("dir", (t + "/dirlink").c_str()) == 0);
  FUZZ_CHECK(symlink("missing", (t + "/dangling").c_str()) == 0);
  FUZZ_CHECK(symlink(t.c_str(), (t + "/dir/up").c_str()) == 0);
}

// The mode string for access and flags.
std::string expectedMode(int32_t access, int32_t flags) {
  const bool update = (flags & kSlfFlagUpdate) != 0;
  const bool append = (flags & kSlfFlagAppend) != 0;
  if (access == kSlfAccessRead) {
    return update ? "r+" : "r";
  }
  if (access == kSlfAccessWrite) {
    return append ? (update ? "a+" : "a") : (update ? "w+" : "w");
  }
  return append ? "a+" : "w+";
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

// The composed path, or nothing when it is over the limits.
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

bool parentReference(std::string_view path) {
  const size_t dots = path.find("..");
  if (dots == std::string_view::npos) {
    return false;
  }
  const size_t slash = path.rfind('/');
  return dots <= (slash == std::string_view::npos ? 0 : slash + 1);
}

bool terminatedRecord(const slosErrRec& r) {
  return memchr(r.message, '\0', sizeof r.message) != nullptr &&
         memchr(r.routine, '\0', sizeof r.routine) != nullptr &&
         memchr(r.otherInfo, '\0', sizeof r.otherInfo) != nullptr;
}

// A single-linked file that is neither a link nor a directory.
bool acceptable(const struct stat& st) {
  return !S_ISLNK(st.st_mode) && st.st_nlink == 1 && !S_ISDIR(st.st_mode);
}

void checkNamedOpen(const Call& c, SlfFile* handle, const slosErrRec& record) {
  std::string path;
  if (!composeModel(c, &path)) {
    FUZZ_CHECK(handle == nullptr && !gOpenAsked);
    FUZZ_CHECK(record.code == kSlosErrTooLong);
    FUZZ_CHECK(strcmp(record.message, "file name too long") == 0);
    FUZZ_CHECK(strcmp(record.routine, "SlfFopen") == 0);
    return;
  }
  if (parentReference(path)) {
    FUZZ_CHECK(handle == nullptr && !gOpenAsked);
    FUZZ_CHECK(record.code == kSlosErrRefused);
    FUZZ_CHECK(std::string_view(record.message) == std::string_view(kParentMessage, 32));
    FUZZ_CHECK(strcmp(record.routine, "slsfopen2") == 0);
    FUZZ_CHECK(strcmp(record.otherInfo, kParentMessage) == 0);
    return;
  }
  if (gOpenAsked) {
    FUZZ_CHECK(gLastMode == expectedMode(c.access, c.flags));
  }
  struct stat examined {};
  const bool exists = path.size() <= kMaxComposed && lstat(path.c_str(), &examined) == 0;
  if (handle == nullptr) {
    FUZZ_CHECK(record.code < 0 && terminatedRecord(record));
    // A plain read of a single-linked regular file with no directory checks
    // cannot be refused.
    const bool plainRead = c.access == kSlfAccessRead && (c.flags & kSlfFlagUpdate) == 0 &&
                           (c.flags & (kSlfFlagResolveDir | kSlfFlagSecureDir)) == 0;
    FUZZ_CHECK(!(plainRead && exists && S_ISREG(examined.st_mode) && acceptable(examined) &&
                 insideTree(path.c_str())));
    return;
  }
  // Whatever was opened is the single-linked file the path names.
  FUZZ_CHECK(handle->isVfs == 0);
  FUZZ_CHECK(exists && acceptable(examined));
  struct stat opened {};
  FUZZ_CHECK(fstat(fileno(static_cast<FILE*>(handle->stream)), &opened) == 0);
  FUZZ_CHECK(opened.st_ino == examined.st_ino && opened.st_dev == examined.st_dev);
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
  gLastMode.clear();

  FUZZ_CHECK(chdir(gTree.c_str()) == 0);
  SlfFile* const handle = SlfFopen2(c.name.c_str(), c.hasDir ? c.dir.c_str() : nullptr, c.access,
                                    c.flags, c.kind, &record, c.vfsFlags);
  const bool standard = c.kind != kSlfKindNamed;
  if (standard) {
    // Standard streams pass straight through and stay open after the close.
    FILE* const expected = c.kind == kSlfKindStdin    ? stdin
                           : c.kind == kSlfKindStdout ? stdout
                                                      : stderr;
    FUZZ_CHECK(handle != nullptr && handle->stream == expected && handle->isVfs == 0);
  } else if (c.vfsFlags == 0) {
    checkNamedOpen(c, handle, record);
  }
  if (handle != nullptr) {
    FUZZ_CHECK(SlfFclose(handle, &record, 0) == 0);
  }
  FUZZ_CHECK(fchdir(gStartDir) == 0);
  if (standard) {
    FUZZ_CHECK(fcntl(fileno(stdout), F_GETFD) != -1 && fcntl(fileno(stderr), F_GETFD) != -1);
  }
  return 0;
}
