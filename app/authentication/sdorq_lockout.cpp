// The lockout's records: where they live, who may change them, the
// check-and-append that counts an attempt before PAM is asked, and the
// settlements that end it.
#include "app/authentication/sdorq_lockout.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

#include "app/trace/dorq_trace.h"
#include "app/base/sdorq_signals.h"

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
constexpr mode_t kPermissionBits = 07777;

// Each record's source: this prefix and the caller's uid in decimal.
constexpr char kSourcePrefix[] = "dorq:";

// At most this many of the newest records are read. A file holding this many
// or more is compacted before the next record is appended: every pending
// record stays, and of each source's failures its newest kDenyAfterFailures;
// the older ones cannot change any verdict. (Only a file written by hand, or
// shared by more callers than the window holds, has records before the
// window; they are dropped unread. An attempt whose pending record goes so
// still fails by appending a failure of its own.)
constexpr size_t kMaxRecords = 64;
constexpr off_t kRecordSize = sizeof(TallyRecord);

constexpr int64_t kMillisecondsPerSecond = 1000;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// A single file name: not empty, no "/", neither "." nor "..".
bool safeFileName(const char* name) {
  const size_t length = strnlen(name, kLockoutMaxName + 1);
  return length > 0 && length <= kLockoutMaxName && strchr(name, '/') == nullptr &&
         strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

std::string_view sourceOf(const TallyRecord& record) {
  return {record.source, strnlen(record.source, sizeof record.source)};
}

// A settled failure: pam_faillock's valid bit, which alone counts for a lock.
bool isFailure(const TallyRecord& record) {
  return (record.status & kTallyValid) != 0;
}

// An attempt in flight, its slot in reserved.
bool isPending(const TallyRecord& record) {
  return (record.status & (kTallyPending | kTallyValid)) == kTallyPending;
}

// Root's own: a directory of uid 0 and gid 0 that neither group nor others
// may write.
bool trustedDirectory(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 && st.st_gid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens parent/name, not through a link, and only when trusted. Only a
// missing directory is made; it is given root's group and kDirectoryMode at
// once, since it was made with the caller's group and umask.
UniqueFd openDirectory(int parent, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd dir(openat(parent, name, kFlags));
  if (!dir.valid() && errno == ENOENT) {
    const bool made = mkdirat(parent, name, kDirectoryMode) == 0;
    if (made || errno == EEXIST) {  // another dorq may have made it meanwhile
      dir.reset(openat(parent, name, kFlags));
    }
    if (made && dir.valid() &&
        (fchown(dir.get(), 0, 0) != 0 || fchmod(dir.get(), kDirectoryMode) != 0)) {
      dir.reset();
    }
  }
  if (!dir.valid() || !trustedDirectory(dir.get())) {
    DORQ_TRACE(kTraceAlways, kFunction, "Refusing the failure records' directory %s", name);
    return UniqueFd();
  }
  return dir;
}

// Whether the open record file may be used: a regular file of one link,
// root's alone. Owner and mode are set only when they are not root:root and
// kFileMode already: a new file has the caller's group and umask, and the
// faillock tool gives the file to the user (0660) whenever it opens it.
bool trustRecords(int fd, struct stat* st) {
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_nlink != 1) {
    return false;
  }
  const bool owned =
      st->st_uid == 0 && st->st_gid == 0 && (st->st_mode & kPermissionBits) == kFileMode;
  return owned || (fchown(fd, 0, 0) == 0 && fchmod(fd, kFileMode) == 0);
}

UniqueFd openRecords(int dir, const char* name) {
  UniqueFd file(openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
  struct stat st {};
  if (!file.valid() || !trustRecords(file.get(), &st)) {
    DORQ_TRACE(kTraceAlways, kFunction, "Refusing the failure record of %s", name);
    return UniqueFd();
  }
  return file;
}

// The user's record file, opened once per attempt with both directories.
UniqueFd openUserRecords(const char* name) {
  const UniqueFd parent(open(kStateParent, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd state = parent.valid() ? openDirectory(parent.get(), kStateName) : UniqueFd();
  const UniqueFd tally = state.valid() ? openDirectory(state.get(), kTallyName) : UniqueFd();
  return tally.valid() ? openRecords(tally.get(), name) : UniqueFd();
}

// The file's lock (flock) for one check-and-append or one settlement.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    int result = 0;
    do {
      result = flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    held_ = result == 0;
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() {
    if (held_) {
      (void)flock(fd_, LOCK_UN);
    }
  }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// Whether a live attempt holds the slot. An error answers "held": a record
// is never settled on a guess.
bool slotHeld(int fd, uint16_t slot) {
  struct flock lock = sdorqSlotLock(F_WRLCK, slot);
  return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

void releaseSlot(int fd, uint16_t slot) {
  struct flock lock = sdorqSlotLock(F_UNLCK, slot);
  (void)fcntl(fd, F_OFD_SETLK, &lock);
}

// The newest records of the file, at most kMaxRecords of them, read under
// its lock, and where they lie.
struct Window {
  std::array<TallyRecord, kMaxRecords> records{};
  size_t held = 0;   // how many were read
  size_t total = 0;  // how many whole records the file holds
  off_t from = 0;    // where the first one read starts

  off_t offsetOf(size_t index) const { return from + static_cast<off_t>(index) * kRecordSize; }
  off_t end() const { return offsetOf(held); }  // after the last whole record
};

// Reads the newest records after checking (and repairing) the file: the
// faillock tool may have opened it since.
bool readTrusted(int fd, Window* window) {
  struct stat st {};
  if (!trustRecords(fd, &st)) {
    return false;
  }
  window->total = static_cast<size_t>(st.st_size / kRecordSize);
  window->held = std::min(window->total, kMaxRecords);
  window->from = static_cast<off_t>(window->total - window->held) * kRecordSize;
  const auto bytes = static_cast<ssize_t>(window->held * sizeof(TallyRecord));
  return pread(fd, window->records.data(), static_cast<size_t>(bytes), window->from) == bytes;
}

// Puts count records at at, where the file then ends.
bool writeEnding(int fd, const TallyRecord* records, size_t count, off_t at) {
  const auto bytes = static_cast<ssize_t>(count * sizeof(TallyRecord));
  return pwrite(fd, records, static_cast<size_t>(bytes), at) == bytes &&
         ftruncate(fd, at + bytes) == 0;
}

// Every pending record whose attempt is gone (nobody holds its slot's lock)
// becomes a settled failure where it lies: its dorq died before it settled.
bool settleAbandoned(int fd, Window* window) {
  for (size_t i = 0; i < window->held; ++i) {
    TallyRecord& record = window->records[i];
    if (!isPending(record) || slotHeld(fd, record.reserved)) {
      continue;
    }
    record.status = static_cast<uint16_t>((record.status & ~kTallyPending) | kTallyValid);
    record.reserved = 0;
    if (pwrite(fd, &record, sizeof record, window->offsetOf(i)) != kRecordSize) {
      return false;
    }
  }
  return true;
}

// Of a full file, what stays (moved to its start): every pending record, and
// of each source's failures its kDenyAfterFailures newest, by time and then
// by place. A lock and the in-flight limit each need kDenyAfterFailures
// failures of one source, and the newest ones are the ones that decide both.
bool compact(int fd, Window* window) {
  const auto& records = window->records;
  const auto newer = [&](size_t i, size_t j) {  // whether failure j is newer than i
    return isFailure(records[j]) && sourceOf(records[j]) == sourceOf(records[i]) &&
           (records[j].time > records[i].time || (records[j].time == records[i].time && j > i));
  };
  std::array<TallyRecord, kMaxRecords> kept{};
  size_t count = 0;
  for (size_t i = 0; i < window->held; ++i) {
    size_t newerCount = 0;
    for (size_t j = 0; j < window->held; ++j) {
      newerCount += newer(i, j) ? 1 : 0;
    }
    if (isPending(records[i]) || (isFailure(records[i]) && newerCount < kDenyAfterFailures)) {
      kept[count++] = records[i];
    }
  }
  window->records = kept;
  window->held = window->total = count;
  window->from = 0;
  return writeEnding(fd, kept.data(), count, 0);
}

// A slot that no pending record of the file names, with its lock taken; 0
// when none can be had. A slot whose lock is held all the same belongs to an
// attempt whose record is gone (the administrator reset the file): skipped.
uint16_t takeSlot(int fd, const Window& window) {
  const auto begin = window.records.begin();
  const auto end = begin + static_cast<ptrdiff_t>(window.held);
  for (uint32_t slot = 1; slot <= kMaxPendingSlot; ++slot) {
    const auto named = [&](const TallyRecord& r) { return isPending(r) && r.reserved == slot; };
    if (std::any_of(begin, end, named)) {
      continue;
    }
    struct flock lock = sdorqSlotLock(F_WRLCK, static_cast<uint16_t>(slot));
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
      return static_cast<uint16_t>(slot);
    }
    if (errno != EAGAIN && errno != EACCES) {
      return 0;
    }
  }
  return 0;
}

uint64_t wallClock() {
  return static_cast<uint64_t>(time(nullptr));
}

int64_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kMillisecondsPerSecond +
         now.tv_nsec / kNanosecondsPerMillisecond;
}

TallyRecord makeRecord(std::string_view source, uint16_t status, uint16_t slot, uint64_t now) {
  TallyRecord record{};
  memcpy(record.source, source.data(), std::min(source.size(), sizeof record.source));
  record.reserved = slot;
  record.status = status;
  record.time = now;
  return record;
}

// Whether the caller's failures in the window and its attempts in flight
// leave room for one more: were they all to fail, the user would be locked.
bool roomInFlight(const Window& window, std::string_view source, uint64_t now) {
  const auto begin = window.records.begin();
  const auto end = begin + static_cast<ptrdiff_t>(window.held);
  const auto taken = std::count_if(begin, end, [&](const TallyRecord& r) {
    // A failure later than now (a clock set back) is in the window too.
    const bool recent = now < r.time || now - r.time < kFailureIntervalSeconds;
    return sourceOf(r) == source && (isPending(r) || (isFailure(r) && recent));
  });
  return static_cast<size_t>(taken) < kMaxInFlight;
}

enum class Step { Appended, Locked, Full, Unusable };

// One check-and-append under the file's lock.
Step appendPending(int fd, std::string_view source, uint16_t* slot) {
  const FileLock lock(fd);
  Window window;
  if (!lock.held() || !readTrusted(fd, &window) || !settleAbandoned(fd, &window)) {
    return Step::Unusable;
  }
  const uint64_t now = wallClock();
  if (sdorqTallyLocks(window.records.data(), window.held, source, now)) {
    return Step::Locked;
  }
  if (!roomInFlight(window, source, now)) {
    return Step::Full;
  }
  if (window.total >= kMaxRecords && !compact(fd, &window)) {
    return Step::Unusable;
  }
  *slot = takeSlot(fd, window);
  if (*slot == 0) {
    return Step::Unusable;
  }
  const TallyRecord record = makeRecord(source, kTallyPending, *slot, now);
  if (!writeEnding(fd, &record, 1, window.end())) {
    releaseSlot(fd, *slot);
    return Step::Unusable;
  }
  return Step::Appended;
}

// Where the attempt's own record lies in the window (pending, its slot, its
// source; it may have moved), or held when it is no longer there.
size_t findOwn(const Window& window, std::string_view source, uint16_t slot) {
  size_t i = 0;
  while (i < window.held && !(isPending(window.records[i]) && window.records[i].reserved == slot &&
                              sourceOf(window.records[i]) == source)) {
    ++i;
  }
  return i;
}

// The attempt's own record becomes a failure, at the time of its verdict;
// when it is gone (the administrator reset the file meanwhile) a failure is
// appended instead.
bool failOwn(int fd, const Window& window, std::string_view source, uint16_t slot) {
  const TallyRecord failure = makeRecord(source, kTallyValid, 0, wallClock());
  return pwrite(fd, &failure, sizeof failure, window.offsetOf(findOwn(window, source, slot))) ==
         kRecordSize;
}

// The attempt's own record goes, and with clearSource every failure of its
// source too; every other record stays, in its order.
bool removeOwn(int fd, Window* window, std::string_view source, uint16_t slot, bool clearSource) {
  const size_t own = findOwn(*window, source, slot);
  size_t kept = 0;
  for (size_t i = 0; i < window->held; ++i) {
    const TallyRecord& record = window->records[i];
    const bool goes = i == own || (clearSource && isFailure(record) && sourceOf(record) == source);
    if (!goes) {
      window->records[kept++] = record;
    }
  }
  return kept == window->held || writeEnding(fd, window->records.data(), kept, window->from);
}

}  // namespace

struct flock sdorqSlotLock(short type, uint16_t slot) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kPendingLockBase + slot;
  lock.l_len = 1;
  return lock;
}

bool sdorqTallyLocks(const TallyRecord* records, size_t count, std::string_view source,
                     uint64_t now) {
  const TallyRecord* end = records + count;
  const auto counts = [&](const TallyRecord& r) { return isFailure(r) && sourceOf(r) == source; };
  uint64_t latest = 0;
  bool any = false;
  for (const TallyRecord* r = records; r != end; ++r) {
    if (counts(*r)) {
      latest = any ? std::max(latest, r->time) : r->time;
      any = true;
    }
  }
  const auto failures = std::count_if(records, end, [&](const TallyRecord& r) {
    return counts(r) && latest - r.time < kFailureIntervalSeconds;
  });
  const bool recent = now < latest || now - latest < kLockSeconds;
  return any && static_cast<size_t>(failures) >= kDenyAfterFailures && recent;
}

LockoutAttempt::~LockoutAttempt() {
  settle(Settlement::Fail);
}

LockoutCount LockoutAttempt::count(const char* user, uid_t caller) {
  settle(Settlement::Fail);
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
  char source[sizeof source_] = {};
  (void)snprintf(source, sizeof source, "%s%u", kSourcePrefix, static_cast<unsigned>(caller));
  UniqueFd file = openUserRecords(account->pw_name);
  if (!file.valid()) {
    return LockoutCount::Unusable;
  }
  const int64_t giveUpAt = monotonicMilliseconds() + kInFlightWaitSeconds * kMillisecondsPerSecond;
  for (bool waiting = false;; waiting = true) {
    uint16_t slot = 0;
    switch (appendPending(file.get(), source, &slot)) {
      case Step::Appended:
        DORQ_TRACE(kTraceAuth, kFunction, "Attempt counted");
        file_ = std::move(file);
        memcpy(source_, source, sizeof source_);
        slot_ = slot;
        return LockoutCount::Counted;
      case Step::Locked:
        DORQ_TRACE(kTraceAlways, kFunction, "User locked after %zu failures", kDenyAfterFailures);
        return LockoutCount::Locked;
      case Step::Unusable:
        DORQ_TRACE(kTraceAlways, kFunction, "Could not record the attempt");
        return LockoutCount::Unusable;
      case Step::Full:
        break;
    }
    if (!waiting) {
      DORQ_TRACE(kTraceAuth, kFunction, "%zu attempts in flight or failed: waiting", kMaxInFlight);
    }
    if (monotonicMilliseconds() >= giveUpAt) {
      DORQ_TRACE(kTraceAlways, kFunction, "Attempts still in flight after %u seconds",
                 kInFlightWaitSeconds);
      return LockoutCount::Busy;
    }
    if (!sdorqPauseUnlessCancelled(kInFlightPollMilliseconds)) {
      DORQ_TRACE(kTraceAuth, kFunction, "Cancelled while waiting");
      return LockoutCount::Cancelled;
    }
  }
}

void LockoutAttempt::clear() {
  settle(Settlement::Clear);
}

void LockoutAttempt::fail() {
  settle(Settlement::Fail);
}

void LockoutAttempt::takeBack() {
  settle(Settlement::TakeBack);
}

// Under the file's lock: the attempt's own record (pending, its slot, its
// source) is found again wherever it has moved, and every other source's
// records and every other pending record stay as they are. A settlement that
// cannot be made leaves the record pending until the next count finds its
// slot free and settles it as a failure: the safe side.
void LockoutAttempt::settle(Settlement how) {
  if (!file_.valid()) {
    return;
  }
  const int fd = file_.get();
  bool settled = false;
  {
    const FileLock lock(fd);
    Window window;
    if (lock.held() && readTrusted(fd, &window)) {
      const std::string_view source = source_;
      settled = how == Settlement::Fail
                    ? failOwn(fd, window, source, slot_)
                    : removeOwn(fd, &window, source, slot_, how == Settlement::Clear);
    }
  }
  if (!settled) {
    DORQ_TRACE(kTraceAlways, kFunction, "Could not settle the attempt");
  }
  releaseSlot(fd, slot_);
  file_.reset();
  slot_ = 0;
}
