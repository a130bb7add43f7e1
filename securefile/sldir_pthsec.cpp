// SldirIsPthSec: whether a privileged process can trust a directory path.
// Every directory below the root on the way, and the path itself, must be
// owned by the effective user or root and writable by neither group nor
// others; symbolic links are followed by a nested check of their text.
#include "securefile/sldir_pthsec.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "port/ss_wrappers.h"
#include "port/unique_handle.h"

namespace {

constexpr const char* kRoutine = "SldirIsPthsec";
// Group-write and other-write; the sticky and set-ID bits play no part.
constexpr mode_t kForeignWriteBits = S_IWGRP | S_IWOTH;
static_assert(kForeignWriteBits == 0x12);

// Every message of this check fits a 32-byte text.
constexpr size_t kMessageBuffer = 32;
constexpr std::string_view kNoPath = "Path string is empty";
constexpr std::string_view kRelative = "Input string is relative path";
constexpr std::string_view kTooDeep = "Max symlinks detected in path";
constexpr std::string_view kNoMemoryCopy = "Malloc failed";
constexpr std::string_view kNoMemoryLast = "strdup failed";
constexpr std::string_view kNoMemoryEntry = "Malloc Failure";
constexpr std::string_view kLstat = "lstat failure";
constexpr std::string_view kNoMemoryLink = "Malloc failure";
constexpr std::string_view kReadlink = "readlink failure";
constexpr std::string_view kNotDirectory = "Path component is not directory";
static_assert(kNoPath.size() < kMessageBuffer && kRelative.size() < kMessageBuffer &&
              kTooDeep.size() < kMessageBuffer && kNoMemoryCopy.size() < kMessageBuffer &&
              kNoMemoryLast.size() < kMessageBuffer && kNoMemoryEntry.size() < kMessageBuffer &&
              kLstat.size() < kMessageBuffer && kNoMemoryLink.size() < kMessageBuffer &&
              kReadlink.size() < kMessageBuffer && kNotDirectory.size() < kMessageBuffer);

// Fills the record for a failure of this check (never an OS error) and
// returns its code.
int fail(slosErrRec* record, int32_t code, std::string_view message) {
  slosFillErr(record, code, 0, message.data(), kRoutine);
  return code;
}

using HeapText = UniqueMem<char>;

// The table of prefix texts; entries still null at release are skipped by
// ssMemFree, so a table filled only in part is released whole.
class EntryTable {
 public:
  EntryTable() = default;
  EntryTable(const EntryTable&) = delete;
  EntryTable& operator=(const EntryTable&) = delete;
  ~EntryTable() {
    if (entries_ != nullptr) {
      for (size_t i = 0; i < count_; ++i) {
        ssMemFree(entries_[i]);
      }
      ssMemFree(entries_);
    }
  }
  bool allocate(size_t count) {
    entries_ = static_cast<char**>(ssMemCalloc(count, sizeof(char*)));
    count_ = entries_ == nullptr ? 0 : count;
    return entries_ != nullptr;
  }
  char*& operator[](size_t i) { return entries_[i]; }
  size_t size() const { return count_; }

 private:
  char** entries_ = nullptr;
  size_t count_ = 0;
};

void dropTrailingSlashes(char* text) {
  size_t length = strlen(text);
  while (length > 0 && text[length - 1] == '/') {
    text[--length] = '\0';
  }
}

// Where the cutting stops: the leading one or two slashes, ".", or a text
// without any "/" left.
bool cutsDone(const char* text) {
  return strcmp(text, "/") == 0 || strcmp(text, "//") == 0 || strcmp(text, ".") == 0 ||
         strchr(text, '/') == nullptr;
}

// Cuts text at its last "/": that "/" and everything after it go.
void cutAtLastSlash(char* text) {
  char* slash = strrchr(text, '/');
  if (slash != nullptr) {
    *slash = '\0';
  }
}

// Entry n - 1 is path as passed in; entry i the prefix left after n - 1 - i
// cuts of the trimmed path, in a text of the path's length (a proper prefix
// always fits). Fails with the record filled.
int buildEntries(const char* path, char* work, size_t pathLength, EntryTable& table,
                 slosErrRec* record) {
  const size_t n = table.size();
  table[n - 1] = ssMemStrdup(path);
  if (table[n - 1] == nullptr) {
    return fail(record, kSlosErrSystem, kNoMemoryLast);
  }
  memcpy(work, path, pathLength + 1);
  dropTrailingSlashes(work);
  for (size_t i = n - 1; i-- > 0;) {
    cutAtLastSlash(work);
    table[i] = static_cast<char*>(ssMemMalloc(pathLength));
    if (table[i] == nullptr) {
      return fail(record, kSlosErrSystem, kNoMemoryEntry);
    }
    memcpy(table[i], work, strlen(work) + 1);
  }
  return 0;
}

// A link on the way: its text is checked by a nested call one level deeper.
// Its own owner and permissions do not count.
int checkLink(const char* entry, off_t reportedSize, slosErrRec* record, uint32_t depth) {
  const auto size = static_cast<size_t>(reportedSize);
  HeapText text(static_cast<char*>(ssMemMalloc(size + 1)));
  if (!text.valid()) {
    return fail(record, kSlosErrSystem, kNoMemoryLink);
  }
  const ssize_t got = readlink(entry, text.get(), size + 1);
  if (got < 0 || static_cast<size_t>(got) > size) {
    return fail(record, kSlosErrSystem, kReadlink);
  }
  text.get()[got] = '\0';
  return SldirIsPthSec_int(text.get(), record, depth + 1);
}

// 1 passed, 0 not secure, negative failed.
int checkEntry(const char* entry, uid_t euid, slosErrRec* record, uint32_t depth) {
  struct stat st {};
  if (lstat(entry, &st) != 0) {
    return fail(record, kSlosErrSystem, kLstat);
  }
  if (S_ISLNK(st.st_mode)) {
    return checkLink(entry, st.st_size, record, depth);
  }
  if (S_ISDIR(st.st_mode)) {
    const bool trustedOwner = st.st_uid == euid || st.st_uid == 0;
    return trustedOwner && (st.st_mode & kForeignWriteBits) == 0 ? 1 : 0;
  }
  return fail(record, kSlosErrBadHandle, kNotDirectory);
}

}  // namespace

int SldirIsPthSec(const char* path, slosErrRec* record) {
  return SldirIsPthSec_int(path, record, 0);
}

int SldirIsPthSec_int(const char* path, slosErrRec* record, uint32_t depth) {
  const uid_t euid = geteuid();
  if (path == nullptr) {
    return fail(record, kSlosErrNotFound, kNoPath);
  }
  if (path[0] != '/') {
    return fail(record, kSlosErrRelative, kRelative);
  }
  if (depth > kSldirMaxLinkDepth) {
    return fail(record, kSlosErrTooLong, kTooDeep);
  }

  const size_t pathLength = strlen(path);
  HeapText work(static_cast<char*>(ssMemMalloc(pathLength + 1)));
  if (!work.valid()) {
    return fail(record, kSlosErrSystem, kNoMemoryCopy);
  }
  memcpy(work.get(), path, pathLength + 1);
  dropTrailingSlashes(work.get());
  size_t n = 0;
  while (!cutsDone(work.get())) {
    cutAtLastSlash(work.get());
    ++n;
  }
  // A path of slashes only is the root directory itself, which is never
  // examined: with no entry below it there is nothing to refuse.
  if (n == 0) {
    return 1;
  }

  EntryTable table;
  if (!table.allocate(n)) {
    return fail(record, kSlosErrSystem, kNoMemoryCopy);
  }
  if (const int built = buildEntries(path, work.get(), pathLength, table, record); built != 0) {
    return built;
  }
  work.reset();

  for (size_t i = 0; i < n; ++i) {
    const int result = checkEntry(table[i], euid, record, depth);
    if (result <= 0) {
      return result;
    }
  }
  return 1;
}
