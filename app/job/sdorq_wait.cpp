// Waiting for the job: for its start (the job pipe), then for its end
// (pidfds of the job and of the caller, or a look once a second), with the
// orphan check (a caller that has gone away ends dorq, after the job) and
// the cancels the caller sends, which go on to the job.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "app/trace/dorq_trace.h"
#include "app/audit/sdorq_audit.h"
#include "app/job/sdorq_exec.h"
#include "app/job/sdorq_run.h"
#include "app/base/sdorq_signals.h"
#include "port/unique_handle.h"

namespace {

constexpr const char* kTraceUnit = "sdorq";

// A pidfd of dorq's parent, readable once the caller has ended; -1 where the
// kernel has none.
int callerPidfd = -1;
// When dorq's parent is pid 1 its caller has gone: the fallback check.
constexpr pid_t kInitPid = 1;
// How often the fallback looks, in milliseconds.
constexpr int kLookInterval = 1000;
constexpr int64_t kMillisecondsPerSecond = 1000;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

int openPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool watchesCaller(int flags) {
  return (flags & kFlagBlockingWait) == 0;
}

int64_t elapsedMilliseconds(const timespec& since) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * kMillisecondsPerSecond +
         (now.tv_nsec - since.tv_nsec) / kNanosecondsPerMillisecond;
}

// The caller has gone: the job is killed and dorq ends at once with 0, with
// no exit handlers and no frame; the audit line says so: the end of a job
// that had started, or the refusal of one that had not.
[[noreturn]] void endOrphaned(const JobRun& run, bool started) {
  kill(run.child, SIGKILL);
  AuditJobEnd end{};
  end.cgroup = run.cgroup->dir.valid() ? run.cgroup->name : nullptr;
  end.usage.memoryPeakKilobytes = -1;
  sdorqEndJobCgroup(run.cgroup, &end.usage);
  if (!started) {
    sdorqAuditRefused(*run.request, run.child, {DorqStatus::Ok, "caller-gone", 0, 0});
    _exit(0);
  }
  end.waited = true;
  end.signalled = true;
  end.value = SIGKILL;
  end.wallMilliseconds = elapsedMilliseconds(run.spawned);
  end.orphaned = true;
  sdorqAuditEnded(*run.request, run.child, end);
  _exit(0);
}

// Reads the job pipe once it is readable: true at its end (the command has
// replaced the child), false with the report of a child that failed. A short
// or failed read counts as a failed start.
bool readStart(int pipeRead, StartReport* report, bool* done) {
  const ssize_t got = read(pipeRead, report, sizeof *report);
  if (got < 0) {
    return true;  // interrupted: *done stays false and the wait goes on
  }
  *done = true;
  if (got == 0) {
    return true;
  }
  constexpr int32_t kLargestCode = 0xFF;
  if (got != sizeof *report || report->code <= 0 || report->code > kLargestCode) {
    *report = {dorqStatusCode(DorqStatus::ExecFailed), 0, 0};
  }
  return false;
}

int64_t nowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * kMillisecondsPerSecond + now.tv_nsec / kNanosecondsPerMillisecond;
}

uint32_t cancelBit(int signal) {
  for (size_t i = 0; i < kCancelSignals.size(); ++i) {
    if (kCancelSignals[i] == signal) {
      return 1U << i;
    }
  }
  return 0;
}

// A cancel goes on to the job's process group with the user's ids: it
// reaches what the user could signal itself.
void sendOn(const JobRun& run, int signal) {
  const int error = sdorqSignalAsUser(*run.identity, -run.child, signal, /*endOnCancel=*/false);
  DORQ_TRACE(kTraceExec, kRunFunction, "Signal %d sent on to job %d: %s", signal,
             static_cast<int>(run.child), error == 0 ? "sent" : strerror(error));
}

void sendHeld(JobRun& run) {
  for (size_t i = 0; i < kCancelSignals.size(); ++i) {
    if ((run.relay.held & (1U << i)) != 0) {
      run.relay.held &= ~(1U << i);
      sendOn(run, kCancelSignals[i]);
    }
  }
}

// Every cancel that has arrived: the first SIGTERM sets the grace; each is
// sent on once the command runs, and held until then.
void takeCancels(JobRun& run) {
  for (int signal = sdorqNextCancelSignal(); signal != 0; signal = sdorqNextCancelSignal()) {
    if (signal == SIGTERM && run.relay.killAt < 0) {
      run.relay.killAt = nowMilliseconds() + kTermGraceMilliseconds;
    }
    run.relay.held |= cancelBit(signal);
  }
  if (run.relay.started) {
    sendHeld(run);
  }
}

// The grace after a SIGTERM is over: the job's main process (dorq's own
// child) and its whole cgroup are killed; without a cgroup, its process
// group, with the user's ids.
void killWhole(JobRun& run) {
  run.relay.killed = true;
  DORQ_TRACE(kTraceExec, kRunFunction, "Job %d still runs after SIGTERM: killed",
             static_cast<int>(run.child));
  (void)kill(run.child, SIGKILL);
  if (!sdorqKillJobCgroup(*run.cgroup)) {
    (void)sdorqSignalAsUser(*run.identity, -run.child, SIGKILL, /*endOnCancel=*/false);
  }
}

// Milliseconds to wait at most, -1 for no bound: a look once a second where
// there is nothing to poll, and the end of the grace.
int waitBound(const JobRun& run, bool polled) {
  int64_t bound = polled ? -1 : kLookInterval;
  if (run.relay.killAt >= 0 && !run.relay.killed) {
    const int64_t left = std::max<int64_t>(0, run.relay.killAt - nowMilliseconds());
    bound = bound < 0 ? left : std::min(bound, left);
  }
  return static_cast<int>(bound);
}

// Sleeps until fd (-1: none) is readable, for at most a look's interval where
// something cannot be polled; meanwhile takes cancels in, ends the grace,
// and ends dorq when its caller has gone (not in blocking mode). True when fd
// is readable. The child may share dorq's memory, errno included, until it
// has executed: nothing here acts on errno.
bool watch(JobRun& run, int fd, bool started) {
  const bool caller = watchesCaller(run.flags);
  const bool polled = fd >= 0 && (!caller || callerPidfd >= 0);
  pollfd watched[3] = {
      {fd, POLLIN, 0}, {sdorqCancelFd(), POLLIN, 0}, {caller ? callerPidfd : -1, POLLIN, 0}};
  (void)poll(watched, 3, waitBound(run, polled));
  if (caller && (callerPidfd >= 0 ? watched[2].revents != 0 : getppid() == kInitPid)) {
    endOrphaned(run, started);
  }
  if (watched[1].revents != 0) {
    takeCancels(run);
  }
  if (run.relay.killAt >= 0 && !run.relay.killed && nowMilliseconds() >= run.relay.killAt) {
    killWhole(run);
  }
  return watched[0].revents != 0;
}

// Bits 0-6 of a wait status name the signal that ended the child.
constexpr int kSignalBits = 0x7F;
constexpr int kExitShift = 8;
constexpr int kExitBits = 0xFF;

}  // namespace

void sdorqOpenCallerWatch() {
  const pid_t caller = getppid();
  const int fd = openPidfd(caller);
  // The pid may have been reused had the caller ended just before the open:
  // the pidfd counts only if dorq's parent is still that process.
  if (fd >= 0 && getppid() != caller) {
    close(fd);
    return;
  }
  callerPidfd = fd;
}

// The child ends up executing or exiting, either of which closes the pipe.
bool sdorqAwaitStart(JobRun& run, int pipeRead, StartReport* report) {
  for (;;) {
    if (!watch(run, pipeRead, /*started=*/false)) {
      continue;
    }
    bool done = false;
    const bool started = readStart(pipeRead, report, &done);
    if (done) {
      return started;
    }
  }
}

// What the job used: from its cgroup, which counts every process of the job;
// else from the wait, which counts the main process and what it waited for.
JobUsage usageOf(const rusage& waited, JobUsage fromCgroup) {
  constexpr int64_t kPerSecond = 1000000;
  if (!fromCgroup.known) {
    fromCgroup.known = true;
    fromCgroup.userMicroseconds = waited.ru_utime.tv_sec * kPerSecond + waited.ru_utime.tv_usec;
    fromCgroup.systemMicroseconds = waited.ru_stime.tv_sec * kPerSecond + waited.ru_stime.tv_usec;
  }
  if (fromCgroup.memoryPeakKilobytes < 0) {
    fromCgroup.memoryPeakKilobytes = waited.ru_maxrss;
  }
  return fromCgroup;
}

// Reaps the child once its pidfd says it has ended (without one: a look once
// a second), sending cancels on to it meanwhile.
DorqStatus reap(JobRun& run, int* waitStatus, rusage* usage, int* error) {
  const UniqueFd job(openPidfd(run.child));
  for (;;) {
    (void)watch(run, job.valid() ? job.get() : -1, run.relay.started);
    const pid_t reaped = wait4(run.child, waitStatus, WNOHANG, usage);
    if (reaped == run.child) {
      return DorqStatus::Ok;
    }
    if (reaped < 0 && errno != EINTR) {
      *error = errno;
      return DorqStatus::WaitFailed;
    }
  }
}

DorqStatus sdorqAwaitEnd(JobRun& run, bool started, int* exitStatus) {
  run.relay.started = started;
  if (started) {
    sendHeld(run);
  }
  int waitStatus = 0;
  rusage waited{};
  int error = 0;
  const DorqStatus status = reap(run, &waitStatus, &waited, &error);

  AuditJobEnd end{};
  end.waited = status == DorqStatus::Ok;
  end.signalled = (waitStatus & kSignalBits) != 0;
  end.value = end.signalled ? waitStatus & kSignalBits : (waitStatus >> kExitShift) & kExitBits;
  end.wallMilliseconds = elapsedMilliseconds(run.spawned);
  end.outcome = {status, nullptr, end.waited ? 0 : error, 0};
  // Whatever the job left behind in its cgroup ends with it.
  end.cgroup = run.cgroup->dir.valid() ? run.cgroup->name : nullptr;
  JobUsage fromCgroup{false, 0, 0, -1};
  sdorqEndJobCgroup(run.cgroup, &fromCgroup);
  if (end.waited) {
    end.usage = usageOf(waited, fromCgroup);
  } else {
    end.usage = fromCgroup;
  }
  if (started) {
    sdorqAuditEnded(*run.request, run.child, end);
  }
  if (!end.waited) {
    return status;
  }
  if (end.signalled) {
    const char* name = sigabbrev_np(end.value);
    DORQ_TRACE(kTraceExec, kRunFunction, "Job %d ended by signal SIG%s",
               static_cast<int>(run.child), name != nullptr ? name : "?");
    return DorqStatus::Signalled;
  }
  DORQ_TRACE(kTraceExec, kRunFunction, "Job %d used %lld us user, %lld us system, %lld kB at most",
             static_cast<int>(run.child), static_cast<long long>(end.usage.userMicroseconds),
             static_cast<long long>(end.usage.systemMicroseconds),
             static_cast<long long>(end.usage.memoryPeakKilobytes));
  *exitStatus = end.value;
  return DorqStatus::Ok;
}
