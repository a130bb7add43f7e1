// The only two places where dorq changes identity: the job's switch in the
// child, and the kill request in dorq's own process. Both set the
// supplementary groups, then the group id, then the user id.
#ifndef DORQ_APP_SDORQ_IDENTITY_H
#define DORQ_APP_SDORQ_IDENTITY_H

#include <sys/types.h>

// The job user's identity, resolved in dorq's own process before the fork so
// that the child needs no name service, allocation or lock to switch to it.
struct JobIdentity {
  bool known;           // the user is in the password database
  bool groupsResolved;  // the supplementary group list could be built
  uid_t uid;
  gid_t gid;
  gid_t* groups;  // owned; release with sdorqReleaseJobIdentity
  int groupCount;
};

// Looks the user up and builds the group list the way initgroups does.
JobIdentity sdorqResolveJobIdentity(const char* user);
void sdorqReleaseJobIdentity(JobIdentity* identity);

// In the child: groups, group id, user id, in that order; false on the first
// failure (the later steps are not attempted). Async-signal-safe.
bool sdorqSwitchToJobIdentity(const JobIdentity& identity);
// In dorq's own process, for the kill request: initgroups, setgid, setuid;
// false on the first failure. The identity is not restored.
bool sdorqSwitchToKillIdentity(const char* user, gid_t gid, uid_t uid);

#endif  // DORQ_APP_SDORQ_IDENTITY_H
