// The kill request: a job in a cgroup of its own that belongs to the user is
// killed with its whole cgroup; otherwise SIGKILL goes to the job's process
// group from a short-lived child that takes the user's identity, so the
// signal reaches only what the user may signal itself. dorq's own process
// never takes the user's ids: the user cannot stop or hold it, and its caller
// can still end it while it waits for that child.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/base/dorq_numbers.h"
#include "app/job/sdorq_cgroup.h"
#include "app/job/sdorq_exec.h"
#include "app/base/sdorq_identity.h"
#include "app/base/sdorq_signals.h"
#include "port/unique_handle.h"

namespace {

// Group 0 would be dorq's own group and -1 (from a pid of 1) every process
// the user may signal: a pid below 2 names no job and is refused.
constexpr int kLowestJobGroup = 2;
// The sender's exit status when it could not take the user's identity; any
// other non-zero status is the error number of its kill.
constexpr int kSenderIdentityFailed = 255;

DorqStatus refuse(AuditOutcome* outcome, const char* reason, int error, int signal = 0) {
  *outcome = {DorqStatus::KillFailed, reason, error, signal};
  return DorqStatus::KillFailed;
}

// The sender: the one identity switch, then the signal. Only system calls,
// as it is a fork of a process with a single thread.
[[noreturn]] void sendAsUser(const JobIdentity& identity, pid_t target, int signal) {
  if (!sdorqSwitchIdentity(identity)) {
    _exit(kSenderIdentityFailed);
  }
  _exit(kill(target, signal) == 0 ? 0 : errno);
}

// Waits for the sender at most kSignalChildMilliseconds; with endOnCancel a
// cancel ends the wait. A sender still there then is killed (it is dorq's
// own child) and reaped: ETIMEDOUT or ECANCELED. One that something else
// ended by a signal: EINTR.
int awaitSender(pid_t sender, bool endOnCancel) {
  const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, sender, 0)));
  int cut = 0;
  if (pidfd.valid()) {
    pollfd watched[2] = {{pidfd.get(), POLLIN, 0}, {endOnCancel ? sdorqCancelFd() : -1, POLLIN, 0}};
    (void)poll(watched, 2, kSignalChildMilliseconds);
    if (watched[0].revents == 0) {
      cut = watched[1].revents != 0 && sdorqCancelled() != 0 ? ECANCELED : ETIMEDOUT;
      (void)kill(sender, SIGKILL);
    }
  }
  int status = 0;
  while (waitpid(sender, &status, 0) < 0) {
    if (errno != EINTR) {
      return ECHILD;
    }
  }
  if (cut != 0 && !WIFEXITED(status)) {
    return cut;
  }
  if (!WIFEXITED(status)) {
    return EINTR;
  }
  return WEXITSTATUS(status) == kSenderIdentityFailed ? kSignalIdentityNotTaken
                                                      : WEXITSTATUS(status);
}

}  // namespace

int sdorqSignalAsUser(const JobIdentity& identity, pid_t target, int signal, bool endOnCancel) {
  const pid_t sender = fork();
  if (sender < 0) {
    return errno;
  }
  if (sender == 0) {
    sendAsUser(identity, target, signal);
  }
  return awaitSender(sender, endOnCancel);
}

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
      *outcome = {DorqStatus::Ok, "cgroup-killed", 0, 0};
      return DorqStatus::Ok;
    case CgroupKill::Failed:
      return refuse(outcome, nullptr, error);
    case CgroupKill::NotAJob:
      break;
  }
  switch (const int sent = sdorqSignalAsUser(identity, -group, SIGKILL, /*endOnCancel=*/true)) {
    case 0:
      *outcome = {DorqStatus::Ok, "signal-sent", 0, 0};
      return DorqStatus::Ok;
    case kSignalIdentityNotTaken:
      return refuse(outcome, "identity-not-taken", 0);
    case ECANCELED:
      return refuse(outcome, kReasonCancelled, 0, sdorqCancelled());
    default:
      return refuse(outcome, nullptr, sent);
  }
}
