// The lockout's records: where they live, who may change them, and the
// check-and-append that counts an attempt before PAM is asked.
#include "app/sdorq_lockout.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "app/dorq_trace.h"
#include "port/unique_handle.h"

namespace {

constexpr char kTraceUnit[] = "sdorq";
constexpr char kFunction[] = "sdorqLockout";

// The records live in kStateParent/kStateName/kTallyName/<user>. Both
// directories are root's alone (made so when missing); the record files too.
constexpr char kStateParent[] = "/var/lib";
constexpr char kStateName[] = "dorq";
constexpr char kTallyName[] = "faillock";
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;

// The source each record names.
constexpr char kSource[] = "dorq";

// At most this many of the newest records are read. A file holding this many
// or more keeps only its newest kDenyAfterFailures before the next record is
// appended: the older ones cannot change the verdict.
constexpr size_t kMaxRecords = 64;
constexpr off_t kRecordSize = sizeof(TallyRecord);

// A single file name: not empty, no "/", neither "." nor "..".
bool safeFileName(const char* name) {
  const size_t length = strnlen(name, kLockoutMaxName + 1);
  return length > 0 && length <= kLockoutMaxName && strchr(name, '/') == nullptr &&
         strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Root's own: a directory of uid 0 and gid 0 that neither group nor others
// may write.
bool trustedDirectory(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && st.st_gid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens parent/name, not through a link, and only when trusted. A directory
// made here is given root's group and kDirectoryMode at once: it was made
// with the caller's group and umask.
UniqueFd openDirectory(int parent, const char* name) {
  const bool made = mkdirat(parent, name, kDirectoryMode) == 0;
  UniqueFd dir(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const bool owned =
      dir.valid() &&
      (!made || (fchown(dir.get(), 0, 0) == 0 && fchmod(dir.get(), kDirectoryMode) == 0));
  if (!owned || !trustedDirectory(dir.get())) {
    DORQ_TRACE(kTraceAlways, kFunction, "Refusing the failure records' directory %s", name);
    return UniqueFd();
  }
  return dir;
}

bool lockExclusive(int fd) {
  int result = 0;
  do {
    result = flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// The user's record file, root's alone and locked. Owner and mode are set on
// every open: a new file has the caller's group and umask, and the faillock
// tool gives the file to the user (0660) whenever it opens it.
UniqueFd openRecords(int dir, const char* name) {
  UniqueFd file(openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
  struct stat st {};
  const bool trusted = file.valid() && fchown(file.get(), 0, 0) == 0 &&
                       fchmod(file.get(), kFileMode) == 0 && fstat(file.get(), &st) == 0 &&
                       S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1;
  if (!trusted || !lockExclusive(file.get())) {
    DORQ_TRACE(kTraceAlways, kFunction, "Refusing the failure record of %s", name);
    return UniqueFd();
  }
  return file;
}

UniqueFd openUserRecords(const char* name) {
  const UniqueFd parent(open(kStateParent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd state = parent.valid() ? openDirectory(parent.get(), kStateName) : UniqueFd();
  const UniqueFd tally = state.valid() ? openDirectory(state.get(), kTallyName) : UniqueFd();
  return tally.valid() ? openRecords(tally.get(), name) : UniqueFd();
}

// The newest records, at most kMaxRecords of them.
struct Newest {
  std::array<TallyRecord, kMaxRecords> records{};
  size_t held = 0;   // how many were read
  size_t total = 0;  // how many whole records the file holds
};

bool readNewest(int fd, Newest* newest) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return false;
  }
  newest->total = static_cast<size_t>(st.st_size / kRecordSize);
  newest->held = std::min(newest->total, kMaxRecords);
  const auto bytes = static_cast<ssize_t>(newest->held * sizeof(TallyRecord));
  const auto from = static_cast<off_t>(newest->total - newest->held) * kRecordSize;
  return pread(fd, newest->records.data(), static_cast<size_t>(bytes), from) == bytes;
}

// Where the next record goes: after the whole records, or after the newest
// kDenyAfterFailures once the file is full (which are moved to its start).
bool makeRoom(int fd, const Newest& newest, off_t* end) {
  if (newest.total < kMaxRecords) {
    *end = static_cast<off_t>(newest.total) * kRecordSize;
    return true;
  }
  const TallyRecord* kept = newest.records.data() + newest.held - kDenyAfterFailures;
  *end = static_cast<off_t>(kDenyAfterFailures) * kRecordSize;
  return pwrite(fd, kept, static_cast<size_t>(*end), 0) == *end && ftruncate(fd, *end) == 0;
}

bool append(int fd, off_t at, const TallyRecord& record) {
  return pwrite(fd, &record, sizeof record, at) == kRecordSize &&
         ftruncate(fd, at + kRecordSize) == 0;
}

// Whether the file still ends with record, at at.
bool endsWith(int fd, const TallyRecord& record, off_t at) {
  struct stat st {};
  TallyRecord last{};
  return fstat(fd, &st) == 0 && st.st_size == at + kRecordSize &&
         pread(fd, &last, sizeof last, at) == kRecordSize &&
         memcmp(&last, &record, sizeof last) == 0;
}

}  // namespace

bool sdorqTallyLocks(const TallyRecord* records, size_t count, uint64_t now) {
  const TallyRecord* end = records + count;
  const auto valid = [](const TallyRecord& r) { return (r.status & kTallyValid) != 0; };
  uint64_t latest = 0;
  bool any = false;
  for (const TallyRecord* r = records; r != end; ++r) {
    if (valid(*r)) {
      latest = any ? std::max(latest, r->time) : r->time;
      any = true;
    }
  }
  const auto failures = std::count_if(records, end, [&](const TallyRecord& r) {
    return valid(r) && latest - r.time < kFailureIntervalSeconds;
  });
  const bool recent = now < latest || now - latest < kLockSeconds;
  return any && static_cast<size_t>(failures) >= kDenyAfterFailures && recent;
}

LockoutCount LockoutAttempt::count(const char* user) {
  // The account database's own spelling of the name, so that every spelling
  // it accepts shares one count.
  const struct passwd* account = getpwnam(user);
  if (account == nullptr) {
    DORQ_TRACE(kTraceAuth, kFunction, "No such user: not counted");
    return LockoutCount::NotCounted;
  }
  if (!safeFileName(account->pw_name)) {
    DORQ_TRACE(kTraceAlways, kFunction, "A user name that is no file name cannot be counted");
    return LockoutCount::Unusable;
  }
  const UniqueFd file = openUserRecords(account->pw_name);
  Newest newest;
  if (!file.valid() || !readNewest(file.get(), &newest)) {
    DORQ_TRACE(kTraceAlways, kFunction, "Could not read the failure records");
    return LockoutCount::Unusable;
  }
  const auto now = static_cast<uint64_t>(time(nullptr));
  if (sdorqTallyLocks(newest.records.data(), newest.held, now)) {
    DORQ_TRACE(kTraceAlways, kFunction, "User locked after %zu failures", kDenyAfterFailures);
    return LockoutCount::Locked;
  }
  TallyRecord record{};
  memcpy(record.source, kSource, sizeof kSource);
  record.status = kTallyValid;
  record.time = now;
  if (!makeRoom(file.get(), newest, &at_) || !append(file.get(), at_, record)) {
    DORQ_TRACE(kTraceAlways, kFunction, "Could not record the attempt");
    return LockoutCount::Unusable;
  }
  DORQ_TRACE(kTraceAuth, kFunction, "Attempt counted");
  record_ = record;
  memcpy(name_, account->pw_name, strlen(account->pw_name) + 1);
  return LockoutCount::Counted;
}

// A settlement that cannot be made leaves the record counted: the safe side.
void LockoutAttempt::clear() {
  const UniqueFd file = name_[0] != '\0' ? openUserRecords(name_) : UniqueFd();
  if (file.valid() && ftruncate(file.get(), 0) != 0) {
    DORQ_TRACE(kTraceAlways, kFunction, "Could not clear the failure records");
  }
}

void LockoutAttempt::takeBack() {
  const UniqueFd file = name_[0] != '\0' ? openUserRecords(name_) : UniqueFd();
  if (file.valid() && endsWith(file.get(), record_, at_) && ftruncate(file.get(), at_) != 0) {
    DORQ_TRACE(kTraceAlways, kFunction, "Could not take the attempt back");
  }
}
