// The lockout: dorq's own count of failed authentications, kept per user in
// pam_faillock's record format so that the administrator sees and resets it
// with the usual tool: faillock --dir /var/lib/dorq/faillock --user U [--reset].
#ifndef DORQ_APP_SDORQ_LOCKOUT_H
#define DORQ_APP_SDORQ_LOCKOUT_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// One failure record: pam_faillock's layout, 64 bytes in the host's byte
// order. dorq writes the service name as the source, which the status bits
// then mark as a service (neither remote host nor terminal).
struct TallyRecord {
  char source[52];  // not terminated when it fills the field
  uint16_t reserved;
  uint16_t status;
  uint64_t time;  // seconds since the epoch
};
static_assert(sizeof(TallyRecord) == 64, "pam_faillock's record is 64 bytes");

// The status bit of a record that counts.
inline constexpr uint16_t kTallyValid = 0x1;

// The policy: kDenyAfterFailures failures, each less than
// kFailureIntervalSeconds before the latest, lock the user until
// kLockSeconds after the latest one.
inline constexpr size_t kDenyAfterFailures = 5;
inline constexpr uint64_t kFailureIntervalSeconds = 15 * 60;
inline constexpr uint64_t kLockSeconds = 15 * 60;

// A user name longer than a file name may be is never used as one: the
// request is refused.
inline constexpr size_t kLockoutMaxName = NAME_MAX;

// Whether the records lock the user at time now. A latest failure later than
// now (a clock set back) locks until the clock has passed it by kLockSeconds.
bool sdorqTallyLocks(const TallyRecord* records, size_t count, uint64_t now);

enum class LockoutCount {
  Counted,     // a failure is recorded before PAM is asked
  NotCounted,  // the account database does not know the user
  Locked,      // the user is locked: refuse without asking PAM
  Unusable,    // the records or their directories cannot be trusted: refuse
};

// One attempt's record, checked and appended under the file's lock (flock)
// before PAM is asked and settled under it again afterwards; no descriptor
// is held in between. A record never settled stays counted, as it does when
// dorq is killed.
class LockoutAttempt {
 public:
  LockoutCount count(const char* user);
  // PAM accepted the password: the count starts again.
  void clear();
  // The outcome is no verdict on the password: the record is taken back if
  // it is still the file's last.
  void takeBack();

 private:
  char name_[kLockoutMaxName + 1] = {};  // the record file's; empty: nothing counted
  TallyRecord record_{};
  off_t at_ = 0;  // where record_ was written
};

#endif  // DORQ_APP_SDORQ_LOCKOUT_H
