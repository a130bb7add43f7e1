// Waiting for the job: a blocking wait, or polling that also watches whether
// dorq's own caller has gone.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/dorq_status.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_run.h"
#include "port/unique_handle.h"

namespace {

// The longest time between two polls, and so between two orphan checks.
constexpr int kPollIntervalMs = 1000;
constexpr unsigned kPollIntervalSeconds = 1;
// When dorq's parent is pid 1, its caller has gone and init adopted dorq.
constexpr pid_t kInitPid = 1;

DorqStatus waitBlocking(pid_t child, int* waitStatus) {
  for (;;) {
    if (waitpid(child, waitStatus, 0) == child) {
      return DorqStatus::Ok;
    }
    if (errno != EINTR) {
      return DorqStatus::WaitFailed;
    }
  }
}

// Sleeps until the child changes state, at most one poll interval. With a
// pidfd a finished job is noticed at once; without one (an old kernel) this
// is a plain one-second sleep. An interrupting signal just ends the pause.
void pauseForChild(const UniqueFd& pidfd) {
  if (pidfd.valid()) {
    pollfd watch{pidfd.get(), POLLIN, 0};
    (void)poll(&watch, 1, kPollIntervalMs);
    return;
  }
  (void)sleep(kPollIntervalSeconds);
}

// The caller has gone: the job is killed and dorq ends at once with 0, with
// no exit handlers and no frame.
[[noreturn]] void endOrphaned(pid_t child) {
  kill(child, SIGKILL);
  _exit(0);
}

// A descriptor that becomes readable when the child ends; -1 where the
// kernel has none. It is always close-on-exec.
int openPidfd(pid_t child) {
  return static_cast<int>(syscall(SYS_pidfd_open, child, 0));
}

DorqStatus waitPolling(pid_t child, int* waitStatus) {
  const UniqueFd pidfd(openPidfd(child));
  for (;;) {
    const pid_t reaped = waitpid(child, waitStatus, WNOHANG);
    if (reaped == child) {
      return DorqStatus::Ok;
    }
    if (reaped < 0) {
      if (errno == EINTR) {
        continue;
      }
      return DorqStatus::WaitFailed;
    }
    if (getppid() == kInitPid) {
      endOrphaned(child);
    }
    pauseForChild(pidfd);
  }
}

}  // namespace

DorqStatus sdorqWaitForChild(pid_t child, int flags, int* waitStatus) {
  *waitStatus = 0;
  if ((flags & kFlagBlockingWait) != 0) {
    return waitBlocking(child, waitStatus);
  }
  return waitPolling(child, waitStatus);
}
