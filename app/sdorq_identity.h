// Every change of identity dorq makes stands in this unit: the one switch to
// a user's identity (for the job in its child, and for the kill request in
// dorq's own process), and the opens made with the caller's filesystem
// identity. The switch sets the supplementary groups, then the group id,
// then the user id, and reads all three back.
#ifndef DORQ_APP_SDORQ_IDENTITY_H
#define DORQ_APP_SDORQ_IDENTITY_H

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
};

// Looks the user up and builds the group list the way initgroups does.
JobIdentity sdorqResolveJobIdentity(const char* user);

// Groups, group id, user id, in that order; then every real, effective and
// saved id and the group list are read back. False on the first failure or
// difference: the identity is then unknown and the caller must not go on.
// Async-signal-safe; it writes only identity.readBack.
bool sdorqSwitchIdentity(const JobIdentity& identity);

// While it lives, every file is looked up, opened or created with the
// caller's filesystem identity (its real user and group ids; its groups are
// the process's own); dorq's own comes back when it ends, on every path.
// Nothing may be opened through it when active() is false.
class CallerFilesystemIdentity {
 public:
  CallerFilesystemIdentity();
  CallerFilesystemIdentity(const CallerFilesystemIdentity&) = delete;
  CallerFilesystemIdentity& operator=(const CallerFilesystemIdentity&) = delete;
  ~CallerFilesystemIdentity();
  bool active() const { return active_; }

 private:
  bool active_;
};

// Opens path for writing with the caller's filesystem identity (its real
// user and group ids and its groups), never through a link, never waiting,
// close-on-exec. A missing file is created (exclusively, with mode as the
// umask leaves it) and an existing one must be a regular file; append adds
// O_APPEND. The opened file must be a regular file with one link, owned by
// the real user id, and, when it existed, the very file examined. Invalid on
// any refusal.
UniqueFd sdorqOpenAsCaller(const char* path, bool append, mode_t mode);

#endif  // DORQ_APP_SDORQ_IDENTITY_H
