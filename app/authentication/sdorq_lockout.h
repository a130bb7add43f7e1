// The lockout: dorq's own count of failed authentications, kept per caller
// and user in pam_faillock's record format, one file per user, so that the
// administrator sees and resets it with the usual tool:
// faillock --dir /var/lib/dorq/faillock --user U [--reset].
#ifndef DORQ_APP_AUTHENTICATION_SDORQ_LOCKOUT_H
#define DORQ_APP_AUTHENTICATION_SDORQ_LOCKOUT_H

#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string_view>

#include "port/unique_handle.h"

// One failure record: pam_faillock's layout, 64 bytes in the host's byte
// order. The source names the caller that made the attempt, "dorq:" and its
// uid in decimal (the status bits then mark it as a service: neither remote
// host nor terminal); only that caller's records count for its lock. An
// attempt still in flight has kTallyPending instead of kTallyValid and its
// slot (1..kMaxPendingSlot) in reserved; a settled record has reserved 0.
struct TallyRecord {
  char source[52];  // not terminated when it fills the field
  uint16_t reserved;
  uint16_t status;
  uint64_t time;  // seconds since the epoch
};
static_assert(sizeof(TallyRecord) == 64, "pam_faillock's record is 64 bytes");

// The status bit of a settled failure, which counts.
inline constexpr uint16_t kTallyValid = 0x1;
// dorq's own status bit: an attempt in flight, which is no failure while its
// attempt lives. pam_faillock and its tool ignore bits they do not know (the
// tool shows such a record as invalid, "I").
inline constexpr uint16_t kTallyPending = 0x8000;

// An attempt in flight holds a write lock (an open file description's, one
// byte) at kPendingLockBase + its slot on the record file, for as long as
// its descriptor is open: when dorq dies, the lock goes, and the next count
// settles the record as a failure. The locks lie far beyond any record, so
// records may move in the file.
inline constexpr off_t kPendingLockBase = off_t{1} << 40;
inline constexpr uint16_t kMaxPendingSlot = UINT16_MAX;

// The lock of an attempt's slot, its one byte at kPendingLockBase + slot,
// of type F_WRLCK (or F_UNLCK to release it), for F_OFD_SETLK and
// F_OFD_GETLK.
struct flock sdorqSlotLock(short type, uint16_t slot);

// The policy: kDenyAfterFailures failures of one caller, each less than
// kFailureIntervalSeconds before its latest, lock the user for that caller
// until kLockSeconds after the latest one.
inline constexpr size_t kDenyAfterFailures = 5;
inline constexpr uint64_t kFailureIntervalSeconds = 15 * 60;
inline constexpr uint64_t kLockSeconds = 15 * 60;

// At most kMaxInFlight attempts of one caller for one user may be in flight
// or have failed within the last kFailureIntervalSeconds: were every one of
// them to fail, the user would be locked. A further attempt waits, looking
// again every kInFlightPollMilliseconds, for at most kInFlightWaitSeconds in
// all.
inline constexpr size_t kMaxInFlight = kDenyAfterFailures;
inline constexpr unsigned kInFlightPollMilliseconds = 10;
inline constexpr unsigned kInFlightWaitSeconds = 30;

// A user name longer than a file name may be is never used as one: the
// request is refused.
inline constexpr size_t kLockoutMaxName = NAME_MAX;

// Whether the records of source lock the user at time now; the records of
// every other source are not looked at. A latest failure later than now (a
// clock set back) locks until the clock has passed it by kLockSeconds.
bool sdorqTallyLocks(const TallyRecord* records, size_t count, std::string_view source,
                     uint64_t now);

enum class LockoutCount {
  Counted,     // the attempt is in flight, recorded before PAM is asked
  NotCounted,  // the account database does not know the user: nothing written
  Locked,      // the user is locked for this caller: refuse without asking PAM
  Unusable,    // the records or their directories cannot be trusted: refuse
  Busy,        // kMaxInFlight attempts stayed in flight for kInFlightWaitSeconds
  Cancelled,   // a cancel signal arrived while the attempt waited
};

// One attempt: count() checks and appends its pending record before PAM is
// asked; one settlement (clear, fail or takeBack) ends it afterwards. The
// record file is opened once, by count(), and its descriptor kept until the
// settlement; the file's lock (flock) is held only inside the count's
// check-and-append and inside the settlement, never while PAM runs. An
// attempt destroyed while still in flight settles as fail().
class LockoutAttempt {
 public:
  LockoutAttempt() = default;
  LockoutAttempt(const LockoutAttempt&) = delete;
  LockoutAttempt& operator=(const LockoutAttempt&) = delete;
  ~LockoutAttempt();

  // The attempt of caller (a real uid) for user. An attempt still in flight
  // from an earlier count is settled as fail() first.
  LockoutCount count(const char* user, uid_t caller);
  // PAM accepted the password: this caller's count for the user starts again.
  void clear();
  // PAM refused: the attempt becomes a failure.
  void fail();
  // The outcome is no verdict on the password: the attempt leaves no record.
  void takeBack();

 private:
  enum class Settlement { Clear, Fail, TakeBack };
  void settle(Settlement how);

  UniqueFd file_;                                  // held while the attempt is in flight
  char source_[sizeof TallyRecord{}.source] = {};  // terminated
  uint16_t slot_ = 0;
};

#endif  // DORQ_APP_AUTHENTICATION_SDORQ_LOCKOUT_H
