// The kill request: a job in a cgroup of its own that belongs to the user is
// killed with its whole cgroup; otherwise dorq's own process takes on the
// user's identity for good and sends SIGKILL to the job's process group, so
// the signal reaches only what the user may signal itself.
#include <errno.h>
#include <signal.h>

#include "app/dorq_numbers.h"
#include "app/sdorq_cgroup.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"

namespace {

// Group 0 would be dorq's own group and -1 (from a pid of 1) every process
// the user may signal: a pid below 2 names no job and is refused.
constexpr int kLowestJobGroup = 2;

DorqStatus refuse(AuditOutcome* outcome, const char* reason, int error) {
  *outcome = {DorqStatus::KillFailed, reason, error};
  return DorqStatus::KillFailed;
}

}  // namespace

DorqStatus sdorqKill(const char* pidText, const char* user, AuditOutcome* outcome) {
  if (pidText == nullptr) {
    return refuse(outcome, "no-target", 0);
  }
  const int group = dorqAtoi(pidText);
  if (group < kLowestJobGroup) {
    return refuse(outcome, "bad-target", 0);
  }
  const JobIdentity identity = sdorqResolveJobIdentity(user);
  if (!identity.known) {
    return refuse(outcome, "unknown-user", 0);
  }
  // A job in a cgroup of its own that belongs to the user ends with
  // everything it started, whatever session or group it went to.
  int error = 0;
  switch (sdorqKillJobCgroupOf(group, identity.uid, &error)) {
    case CgroupKill::Killed:
      *outcome = {DorqStatus::Ok, "cgroup-killed", 0};
      return DorqStatus::Ok;
    case CgroupKill::Failed:
      return refuse(outcome, nullptr, error);
    case CgroupKill::NotAJob:
      break;
  }
  if (!sdorqSwitchIdentity(identity)) {
    return refuse(outcome, "identity-not-taken", errno);
  }
  if (kill(-group, SIGKILL) != 0) {
    return refuse(outcome, nullptr, errno);
  }
  *outcome = {DorqStatus::Ok, "signal-sent", 0};
  return DorqStatus::Ok;
}
