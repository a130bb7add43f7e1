// A cgroup of the job's own on the unified hierarchy (cgroup2), made below
// dorq's own cgroup, so that everything the job starts can be found, killed
// and accounted for together. Where the hierarchy is missing or dorq may not
// make the directory, a job simply has none.
//
// The directory is root's and carries the job's user in the trusted
// extended attribute "trusted.dorq.user", which only root can set: the job's
// user can neither move its processes out nor others in, and a kill request
// kills a job cgroup only for the user it belongs to.
#ifndef DORQ_APP_JOB_SDORQ_CGROUP_H
#define DORQ_APP_JOB_SDORQ_CGROUP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "app/audit/sdorq_audit.h"
#include "port/unique_handle.h"

// A job cgroup's name: the prefix, dorq's pid and a random part.
inline constexpr char kJobCgroupPrefix[] = "dorq-job.";
inline constexpr size_t kJobCgroupName = 32;

// A cgroup path or mount point: longer ones are not followed.
inline constexpr size_t kCgroupPathMax = 4096;
// What dorq reads of mountinfo at a time: a longer line is skipped (its
// mount point could not be opened anyway).
inline constexpr size_t kMountInfoPiece = 16384;

struct JobCgroup {
  UniqueFd parent;  // dorq's own cgroup
  UniqueFd dir;     // the job's; invalid: the job has no cgroup
  char name[kJobCgroupName];
};

// What the job used, from its cgroup or, without one, from the wait.
// Makes the job's cgroup for user; false (*reason says why) when the job
// gets none.
bool sdorqMakeJobCgroup(uid_t user, JobCgroup* cgroup, const char** reason);
// The job's main process has ended: kills what it left behind, waits a
// bounded time for the cgroup to empty, reads what the job used into usage
// (when known) and removes the cgroup.
void sdorqEndJobCgroup(JobCgroup* cgroup, JobUsage* usage);

// Kills everything in the job's cgroup at once; false when the job has none
// or the kernel refused.
bool sdorqKillJobCgroup(const JobCgroup& cgroup);

// Reads mountinfo text from fd: the mount point of the last line that mounts
// the whole unified hierarchy (type cgroup2, root "/"), unescaped, goes to
// out. False when none does.
bool sdorqFindUnifiedMount(int fd, char (&out)[kCgroupPathMax]);

enum class CgroupKill : uint8_t { NotAJob, Killed, Failed };
// The kill request's cgroup step: when pid is in a job cgroup directly below
// dorq's own that belongs to user, kills the whole cgroup.
CgroupKill sdorqKillJobCgroupOf(pid_t pid, uid_t user, int* error);

#endif  // DORQ_APP_JOB_SDORQ_CGROUP_H
