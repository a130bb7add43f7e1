// Identity changes.
#include "app/base/sdorq_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "port/ss_wrappers.h"

namespace {

// First guess at the number of groups; getgrouplist says when it needs more.
constexpr int kInitialGroups = 64;

bool resolveGroups(const char* user, gid_t gid, JobIdentity* identity) {
  int count = kInitialGroups;
  for (int attempt = 0; attempt < 2; ++attempt) {
    UniqueHeap<gid_t> groups(
        static_cast<gid_t*>(calloc(static_cast<size_t>(count), sizeof(gid_t))));
    if (!groups.valid()) {
      return false;
    }
    int found = count;
    if (getgrouplist(user, gid, groups.get(), &found) >= 0) {
      UniqueHeap<gid_t> readBack(
          static_cast<gid_t*>(calloc(static_cast<size_t>(found) + 1, sizeof(gid_t))));
      if (!readBack.valid()) {
        return false;
      }
      // The kernel keeps the list sorted, so the read-back compares in order.
      std::sort(groups.get(), groups.get() + found);
      identity->groups = std::move(groups);
      identity->readBack = std::move(readBack);
      identity->groupCount = found;
      return true;
    }
    if (found <= count) {
      return false;
    }
    count = found;  // the list grew to this size; try once more
  }
  return false;
}

bool allEqual(uid_t a, uid_t b, uid_t c, uid_t want) {
  return a == want && b == want && c == want;
}

// The identity in force is exactly the one asked for.
bool identityHolds(const JobIdentity& identity) {
  uid_t ruid = 0;
  uid_t euid = 0;
  uid_t suid = 0;
  gid_t rgid = 0;
  gid_t egid = 0;
  gid_t sgid = 0;
  if (getresuid(&ruid, &euid, &suid) != 0 || !allEqual(ruid, euid, suid, identity.uid) ||
      getresgid(&rgid, &egid, &sgid) != 0 || !allEqual(rgid, egid, sgid, identity.gid)) {
    return false;
  }
  // One slot more than asked for: a longer list than set shows as a count
  // over groupCount rather than as an error.
  const int count = getgroups(identity.groupCount + 1, identity.readBack.get());
  return count == identity.groupCount &&
         std::equal(identity.groups.get(), identity.groups.get() + count, identity.readBack.get());
}

// The caller as dorq was started, read once by sdorqEnterRootContext.
constexpr int kLimitedResources[] = {RLIMIT_FSIZE, RLIMIT_NOFILE, RLIMIT_CORE};
constexpr size_t kLimitCount = sizeof kLimitedResources / sizeof kLimitedResources[0];
constexpr mode_t kOwnUmask = 022;

struct CallerRecord {
  uid_t uid;
  gid_t gid;
  mode_t umask;
  bool root;  // dorq runs as root: acting as the caller means switching
  int groupCount;
  gid_t* groups;  // lives as long as the process
  rlimit limits[kLimitCount];
};
CallerRecord caller;

void readCallerGroups() {
  const int count = getgroups(0, nullptr);
  if (count <= 0 || count > kCallerGroupsMax) {
    return;
  }
  auto* groups = static_cast<gid_t*>(calloc(static_cast<size_t>(count), sizeof(gid_t)));
  if (groups == nullptr) {
    return;
  }
  caller.groupCount = getgroups(count, groups);
  caller.groups = groups;
  if (caller.groupCount < 0) {
    caller.groupCount = 0;
  }
}

// dorq's own limits: none that can cut a write short, enough descriptors for
// PAM's modules, no core file that could hold a password. Where root may not
// raise a hard limit (no CAP_SYS_RESOURCE in its bounding set), the caller's
// hard limit is as far as dorq goes; the core file's hard limit is kept, so
// that the job can be given the caller's back.
rlimit ownLimit(int resource, const rlimit& callers) {
  if (resource == RLIMIT_NOFILE) {
    return {std::max(callers.rlim_cur, kOwnDescriptorsMin),
            std::max(callers.rlim_max, kOwnDescriptorsMin)};
  }
  if (resource == RLIMIT_CORE) {
    return {0, callers.rlim_max};
  }
  return {RLIM_INFINITY, RLIM_INFINITY};
}

void setOwnLimit(int resource, const rlimit& callers) {
  const rlimit own = ownLimit(resource, callers);
  if (setrlimit(resource, &own) != 0) {
    const rlimit bounded{std::min(own.rlim_cur, callers.rlim_max), callers.rlim_max};
    (void)setrlimit(resource, &bounded);
  }
}

// setresuid and setresgid leave an id of -1 as it is.
constexpr uid_t kUnchanged = static_cast<uid_t>(-1);

constexpr int kAlways = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kCreate = O_CREAT | O_EXCL;

bool sameFile(const struct stat& examined, const struct stat& opened) {
  return examined.st_ino == opened.st_ino && examined.st_dev == opened.st_dev &&
         examined.st_mode == opened.st_mode;
}

// What the caller may be handed: its own single-linked regular file.
bool acceptOpened(const struct stat& opened) {
  return S_ISREG(opened.st_mode) && opened.st_nlink == 1 && opened.st_uid == caller.uid;
}

}  // namespace

void sdorqEnterRootContext() {
  caller.uid = getuid();
  caller.gid = getgid();
  caller.umask = umask(kOwnUmask);
  caller.root = geteuid() == 0;
  readCallerGroups();
  for (size_t i = 0; i < kLimitCount; ++i) {
    (void)getrlimit(kLimitedResources[i], &caller.limits[i]);
  }
  if (!caller.root) {
    umask(caller.umask);
    return;
  }
  (void)setgroups(0, nullptr);
  (void)!setresgid(0, 0, 0);
  for (size_t i = 0; i < kLimitCount; ++i) {
    setOwnLimit(kLimitedResources[i], caller.limits[i]);
  }
}

bool sdorqDropPrivileges() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  return setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 && geteuid() == uid &&
         getegid() == gid;
}

void sdorqRestoreCallerLimits() {
  umask(caller.umask);
  for (size_t i = 0; i < kLimitCount; ++i) {
    (void)setrlimit(kLimitedResources[i], &caller.limits[i]);
  }
}

AsCaller::AsCaller() : switched_(caller.root && geteuid() == 0), active_(!switched_) {
  if (!switched_) {
    return;  // not root: already acting as itself
  }
  const int savedErrno = errno;
  active_ = setgroups(static_cast<size_t>(caller.groupCount), caller.groups) == 0 &&
            setresgid(kUnchanged, caller.gid, kUnchanged) == 0 &&
            setresuid(kUnchanged, caller.uid, kUnchanged) == 0 && geteuid() == caller.uid &&
            getegid() == caller.gid;
  umask(caller.umask);
  errno = savedErrno;
}

AsCaller::~AsCaller() {
  if (!switched_) {
    return;
  }
  const int savedErrno = errno;
  (void)!setresuid(kUnchanged, 0, kUnchanged);
  (void)!setresgid(kUnchanged, 0, kUnchanged);
  (void)setgroups(0, nullptr);
  umask(kOwnUmask);
  errno = savedErrno;
}

JobIdentity sdorqResolveJobIdentity(const char* user) {
  JobIdentity identity{};
  const passwd* entry = getpwnam(user);
  if (entry == nullptr) {
    return identity;
  }
  identity.known = true;
  identity.name.reset(strdup(entry->pw_name));
  identity.home.reset(strdup(entry->pw_dir));
  identity.shell.reset(strdup(entry->pw_shell));
  identity.uid = entry->pw_uid;
  identity.gid = entry->pw_gid;
  identity.groupsResolved = resolveGroups(user, entry->pw_gid, &identity);
  return identity;
}

bool sdorqSwitchIdentity(const JobIdentity& identity) {
  if (!identity.known || !identity.groupsResolved ||
      setgroups(static_cast<size_t>(identity.groupCount), identity.groups.get()) != 0) {
    return false;
  }
  if (setgid(identity.gid) != 0 || setuid(identity.uid) != 0) {
    return false;
  }
  return identityHolds(identity);
}

UniqueFd sdorqOpenAsCaller(const AsCaller& asCaller, const char* path, bool append, mode_t mode) {
  const int flags = kAlways | (append ? O_APPEND : 0);
  struct stat examined {};
  UniqueFd fd;
  bool existed = false;
  if (!asCaller.active()) {
    return fd;
  }
  if (lstat(path, &examined) == 0) {
    // Links (to anything), directories, devices and pipes are refused.
    if (!S_ISREG(examined.st_mode)) {
      return fd;
    }
    existed = true;
    fd.reset(ssOswOpen(path, flags, 0));
  } else if (errno == ENOENT) {
    fd.reset(ssOswOpen(path, flags | kCreate, static_cast<int>(mode)));
  }
  struct stat opened {};
  if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !acceptOpened(opened) ||
      (existed && !sameFile(examined, opened))) {
    fd.reset();
  }
  return fd;
}
