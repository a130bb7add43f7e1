// The one read of the settings file "env.zan" in the installation home, its
// cache and the release of the cache at exit.
#include <stdlib.h>

#include "port/ss_wrappers.h"
#include "securefile/slf_file.h"
#include "securefile/slos_err.h"
#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"

slzgetevarf_entry* slzgetevarf_env_head = nullptr;
uint32_t slzgetevarf_parse_attempted = 0;
sltsLazyMutex slzgetevarf_mx{};

namespace {

constexpr char kSettingsFile[] = "env.zan";
constexpr char kHomeSetting[] = "ZANTIX_HOME";
constexpr uint64_t kHomeSettingLength = sizeof kHomeSetting - 1;
// The installation home: 1024 bytes of text and one for the terminator.
constexpr uint64_t kHomeMax = 1024;
constexpr size_t kHomeBuffer = kHomeMax + 1;

// The settings file is opened for reading, with no optional directory
// checks, as a named file, without the file-location layer.
constexpr int32_t kOpenFlags = 0;
constexpr int32_t kOpenVfsFlags = 0;

constexpr int kUsable = 0;
constexpr int kUnreadable = -1;

void releaseEntries(slzgetevarf_entry* entry) {
  while (entry != nullptr) {
    slzgetevarf_entry* const next = entry->next;
    ssMemFree(entry->name);
    ssMemFree(entry->value);
    ssMemFree(entry);
    entry = next;
  }
}

// Holds slzgetevarf_mx for one scope.
class CacheLock {
 public:
  CacheLock() { (void)sltsima(&slzgetevarf_mx); }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
  ~CacheLock() { (void)sltsimr(&slzgetevarf_mx); }
};

// The list under construction, in file order. It is released with
// everything in it unless it is handed over for publication.
class PendingList {
 public:
  PendingList() = default;
  PendingList(const PendingList&) = delete;
  PendingList& operator=(const PendingList&) = delete;
  ~PendingList() { releaseEntries(head_); }

  bool empty() const { return head_ == nullptr; }
  void append(slzgetevarf_entry* entry) {
    if (head_ == nullptr) {
      head_ = entry;
    } else {
      tail_->next = entry;
    }
    tail_ = entry;
  }
  slzgetevarf_entry* release() {
    slzgetevarf_entry* const head = head_;
    head_ = nullptr;
    tail_ = nullptr;
    return head;
  }

 private:
  slzgetevarf_entry* head_ = nullptr;
  slzgetevarf_entry* tail_ = nullptr;
};

// Appends a new entry that takes over name and value; false when no entry
// could be allocated (name and value are then released).
bool appendEntry(PendingList& list, char* name, char* value) {
  auto* const entry = static_cast<slzgetevarf_entry*>(ssMemMalloc(sizeof(slzgetevarf_entry)));
  if (entry == nullptr) {
    ssMemFree(name);
    ssMemFree(value);
    return false;
  }
  entry->name = name;
  entry->value = value;
  entry->next = nullptr;
  const bool first = list.empty();
  list.append(entry);
  if (first) {
    (void)atexit(slzgetevarf_cleanup);
  }
  return true;
}

// Reads the file line by line into list. A line that carries no accepted
// setting (or could not be parsed for want of memory) is skipped; a read
// error ends the read like the end of the file and keeps what was read.
// False when an entry could not be allocated.
bool readEntries(const UniqueSlfFile& file, slosErrRec* record, PendingList& list) {
  char line[kSlzLineBuffer];
  // 0 when a line or a piece of a longer line was read; non-zero at end of
  // file and on a read error alike.
  while (SlfFgts(file.get(), line, static_cast<int>(sizeof line), record, 0) == 0) {
    char* name = nullptr;
    char* value = nullptr;
    if (slzgetevarf_parseline(line, &name, &value) != 0) {
      continue;
    }
    if (!appendEntry(list, name, value)) {
      return false;
    }
  }
  return true;
}

// The installation home from the environment, terminated; false when it is
// not set, empty or longer than 1024 bytes.
bool installationHome(char (&home)[kHomeBuffer]) {
  uint32_t error = 0;
  const int32_t length = slzgetevar(&error, kHomeSetting, kHomeSettingLength, home, kHomeMax, 0);
  if (length < 0) {
    return false;
  }
  home[length] = '\0';
  return true;
}

}  // namespace

int slzgetevarf_read_default() {
  const CacheLock lock;
  if (slzgetevarfCacheHead() != nullptr || slzgetevarfParseAttempted()) {
    return kUsable;
  }
  // Without a home the attempt is not counted: the next lookup that misses
  // the environment tries again.
  char home[kHomeBuffer];
  if (!installationHome(home)) {
    return kUnreadable;
  }
  // From here on the file is never read again in this process.
  __atomic_store_n(&slzgetevarf_parse_attempted, 1U, __ATOMIC_RELEASE);

  slosErrRec record;
  slosInitErr(&record);
  const UniqueSlfFile file(SlfFopen2(kSettingsFile, home, kSlfAccessRead, kOpenFlags, kSlfKindNamed,
                                     &record, kOpenVfsFlags));
  if (!file.valid()) {
    return kUnreadable;
  }
  // The list is published only once the whole file has been read; when an
  // entry could not be allocated nothing is published and the cache stays
  // empty for the rest of the process.
  PendingList list;
  if (!readEntries(file, &record, list)) {
    return kUnreadable;
  }
  __atomic_store_n(&slzgetevarf_env_head, list.release(), __ATOMIC_RELEASE);
  return kUsable;
}

// Releases the cache and leaves it empty, so a second call finds nothing.
extern "C" void slzgetevarf_cleanup(void) {
  releaseEntries(__atomic_exchange_n(&slzgetevarf_env_head, nullptr, __ATOMIC_ACQ_REL));
}
