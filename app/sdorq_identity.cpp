// Identity changes.
#include "app/sdorq_identity.h"

#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// First guess at the number of groups; getgrouplist says when it needs more.
constexpr int kInitialGroups = 64;

bool resolveGroups(const char* user, gid_t gid, JobIdentity* identity) {
  int count = kInitialGroups;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto* groups = static_cast<gid_t*>(calloc(static_cast<size_t>(count), sizeof(gid_t)));
    if (groups == nullptr) {
      return false;
    }
    int found = count;
    if (getgrouplist(user, gid, groups, &found) >= 0) {
      identity->groups = groups;
      identity->groupCount = found;
      return true;
    }
    free(groups);
    if (found <= count) {
      return false;
    }
    count = found;  // the list grew to this size; try once more
  }
  return false;
}

}  // namespace

JobIdentity sdorqResolveJobIdentity(const char* user) {
  JobIdentity identity{};
  const passwd* entry = getpwnam(user);
  if (entry == nullptr) {
    return identity;
  }
  identity.known = true;
  identity.uid = entry->pw_uid;
  identity.gid = entry->pw_gid;
  identity.groupsResolved = resolveGroups(user, entry->pw_gid, &identity);
  return identity;
}

void sdorqReleaseJobIdentity(JobIdentity* identity) {
  free(identity->groups);
  *identity = JobIdentity{};
}

bool sdorqSwitchToJobIdentity(const JobIdentity& identity) {
  if (!identity.groupsResolved ||
      setgroups(static_cast<size_t>(identity.groupCount), identity.groups) != 0) {
    return false;
  }
  if (setgid(identity.gid) != 0) {
    return false;
  }
  return setuid(identity.uid) == 0;
}

bool sdorqSwitchToKillIdentity(const char* user, gid_t gid, uid_t uid) {
  if (initgroups(user, gid) != 0) {
    return false;
  }
  if (setgid(gid) != 0) {
    return false;
  }
  return setuid(uid) == 0;
}
