// Waiting for the job: for its start (the job pipe), then for its end
// (pidfds of the job and of the caller, or a look once a second), with the
// orphan check: a caller that has gone away ends dorq, after the job.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_run.h"
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
    sdorqAuditRefused(*run.request, run.child, {DorqStatus::Ok, "caller-gone", 0});
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

bool callerGone(int flags, const pollfd& caller) {
  if (!watchesCaller(flags)) {
    return false;
  }
  return caller.fd >= 0 ? caller.revents != 0 : getppid() == kInitPid;
}

DorqStatus reap(pid_t child, int* waitStatus, rusage* usage) {
  for (;;) {
    if (wait4(child, waitStatus, 0, usage) == child) {
      return DorqStatus::Ok;
    }
    if (errno != EINTR) {
      return DorqStatus::WaitFailed;
    }
  }
}

// Sleeps until the job ends or the caller does, whoever adopts dorq then:
// no wake-up in between. False when either cannot be watched.
bool watchJobAndCaller(const JobRun& run) {
  const UniqueFd job(openPidfd(run.child));
  if (!job.valid() || callerPidfd < 0) {
    return false;
  }
  pollfd watch[2] = {{job.get(), POLLIN, 0}, {callerPidfd, POLLIN, 0}};
  for (;;) {
    if (poll(watch, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (watch[0].revents != 0) {
      return true;
    }
    if (watch[1].revents != 0) {
      endOrphaned(run, /*started=*/true);
    }
  }
}

// Without pidfds: a look once a second whether the job has ended or dorq's
// parent has become process 1.
DorqStatus pollOnceASecond(const JobRun& run, int* waitStatus, rusage* usage) {
  for (;;) {
    const pid_t reaped = wait4(run.child, waitStatus, WNOHANG, usage);
    if (reaped == run.child) {
      return DorqStatus::Ok;
    }
    if (reaped < 0) {
      if (errno == EINTR) {
        continue;
      }
      return DorqStatus::WaitFailed;
    }
    if (getppid() == kInitPid) {
      endOrphaned(run, /*started=*/true);
    }
    (void)sleep(1);
  }
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

// The child may share dorq's memory, errno included, until the pipe closes:
// nothing here acts on errno, and every failure is only a reason to look
// again. The child ends up executing or exiting, either of which closes the
// pipe.
bool sdorqAwaitStart(const JobRun& run, int pipeRead, StartReport* report) {
  pollfd watch[2] = {{pipeRead, POLLIN, 0},
                     {watchesCaller(run.flags) ? callerPidfd : -1, POLLIN, 0}};
  const int timeout = watchesCaller(run.flags) && callerPidfd < 0 ? kLookInterval : -1;
  for (;;) {
    watch[0].revents = 0;
    watch[1].revents = 0;
    (void)poll(watch, 2, timeout);
    if (callerGone(run.flags, watch[1])) {
      endOrphaned(run, /*started=*/false);
    }
    bool done = false;
    if (watch[0].revents != 0) {
      const bool started = readStart(pipeRead, report, &done);
      if (done) {
        return started;
      }
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

DorqStatus sdorqAwaitEnd(const JobRun& run, bool started, int* exitStatus) {
  int waitStatus = 0;
  rusage waited{};
  DorqStatus status = DorqStatus::Ok;
  if (!watchesCaller(run.flags) || watchJobAndCaller(run)) {
    status = reap(run.child, &waitStatus, &waited);
  } else {
    status = pollOnceASecond(run, &waitStatus, &waited);
  }
  const int error = errno;
  AuditJobEnd end{};
  end.waited = status == DorqStatus::Ok;
  end.signalled = (waitStatus & kSignalBits) != 0;
  end.value = end.signalled ? waitStatus & kSignalBits : (waitStatus >> kExitShift) & kExitBits;
  end.wallMilliseconds = elapsedMilliseconds(run.spawned);
  end.outcome = {status, nullptr, end.waited ? 0 : error};
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
