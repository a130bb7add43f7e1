// Every change of identity dorq makes stands in this unit: root's own
// context at start; acting as the caller for what dorq does at the caller's
// request; and the one switch to a user's identity (for the job in its
// child, and for the kill request in dorq's own process), which sets the
// supplementary groups, then the group id, then the user id, and reads all
// three back.
#ifndef DORQ_APP_BASE_SDORQ_IDENTITY_H
#define DORQ_APP_BASE_SDORQ_IDENTITY_H

#include <sys/resource.h>
#include <sys/types.h>

#include "port/unique_handle.h"

// A user's identity, resolved in dorq's own process before any fork, so that
// the switch needs no name service, allocation or lock.
struct JobIdentity {
  bool known;           // the user is in the password database
  bool groupsResolved;  // the supplementary group list could be built
  uid_t uid;
  gid_t gid;
  UniqueHeap<gid_t> groups;    // sorted, as the kernel keeps them
  UniqueHeap<gid_t> readBack;  // room for one more: where the switch reads them back
  int groupCount;
  // From the user's entry, for the job's environment.
  UniqueHeap<char> name;
  UniqueHeap<char> home;
  UniqueHeap<char> shell;
};

// Looks the user up and builds the group list the way initgroups does.
JobIdentity sdorqResolveJobIdentity(const char* user);

// Groups, group id, user id, in that order; then every real, effective and
// saved id and the group list are read back. False on the first failure or
// difference: the identity is then unknown and the caller must not go on.
// Async-signal-safe; it writes only identity.readBack.
bool sdorqSwitchIdentity(const JobIdentity& identity);

// The caller as dorq was started: its ids, groups, file-creation mask and
// the resource limits dorq sets for itself. Read once, at start, by
// sdorqEnterRootContext; every step taken as the caller uses this record,
// whatever dorq's own ids are at the time.
inline constexpr int kCallerGroupsMax = 65536;  // the kernel's NGROUPS_MAX
// Descriptors dorq and its PAM modules may hold at least, whatever the
// caller's limit.
inline constexpr rlim_t kOwnDescriptorsMin = 1024;

// At start, before anything else is opened or looked up: records the caller,
// then gives dorq root's own context for PAM and its own writes: group ids 0
// and no supplementary groups (the real user id stays the caller's), file
// creation mask 022, no file size limit, at least kOwnDescriptorsMin
// descriptors and no core file. Does nothing more when dorq is not
// set-user-ID root.
void sdorqEnterRootContext();
// Gives up root for good: every user and group id becomes the caller's real
// one. False when that could not be made to hold.
bool sdorqDropPrivileges();
// In the job's child, while it is still root: the caller's file-creation mask
// and resource limits, exactly as the caller set them. Async-signal-safe.
void sdorqRestoreCallerLimits();

// While it lives, dorq acts as the caller: the caller's groups, effective
// group and user ids (which also clears the effective capabilities) and
// file-creation mask; root's come back when it ends, on every path. A
// process that is not root (the job's child after its switch) stays as it
// is. Nothing may be opened or written through it when active() is false.
// Async-signal-safe.
class AsCaller {
 public:
  AsCaller();
  AsCaller(const AsCaller&) = delete;
  AsCaller& operator=(const AsCaller&) = delete;
  ~AsCaller();
  bool active() const { return active_; }

 private:
  bool switched_;
  bool active_;
};

// Opens path for writing; the caller of this function holds an active
// AsCaller around the open and every write that follows. Never through a link, never waiting,
// close-on-exec. A missing file is created (exclusively, with mode as the
// umask leaves it) and an existing one must be a regular file; append adds
// O_APPEND. The opened file must be a regular file with one link, owned by
// the real user id, and, when it existed, the very file examined. Invalid on
// any refusal.
UniqueFd sdorqOpenAsCaller(const AsCaller& asCaller, const char* path, bool append, mode_t mode);

#endif  // DORQ_APP_BASE_SDORQ_IDENTITY_H
