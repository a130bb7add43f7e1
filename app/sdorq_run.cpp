// Running the command as the user: the job pipe, the library path, the kill
// branch, the fork, the start report, the child pid record and the wait.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_run.h"
#include "port/unique_handle.h"

const char* dorqChildPidFile = nullptr;

namespace {

// Bits 0-6 of a wait status name the signal that ended the child.
constexpr int kSignalBits = 0x7F;
constexpr int kExitShift = 8;
constexpr int kExitBits = 0xFF;

struct JobPipe {
  UniqueFd read;
  UniqueFd write;
};

// Created close-on-exec, so neither end can reach the command.
bool openJobPipe(JobPipe* jobPipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  jobPipe->read.reset(fds[0]);
  jobPipe->write.reset(fds[1]);
  return true;
}

// The first argument line, or null when the vector holds none (a count of -1
// puts the terminator in slot 0, so slot 1 does not exist).
const char* firstArgument(char** argv) {
  return argv[0] == nullptr ? nullptr : argv[1];
}

DorqStatus runKillRequest(char** argv, const char* user, int flags) {
  const DorqStatus code = sdorqKillRequest(firstArgument(argv), user);
  if ((flags & kFlagStatusWords) != 0) {
    sdorqWriteStatusWord(code);
  }
  return code;
}

// Reads the child's start report: end of input means the command replaced
// the child; a code (or a read error) means the child failed to start it.
DorqStatus reportStart(JobPipe* jobPipe) {
  jobPipe->write.reset();
  int code = 0;
  ssize_t got = 0;
  do {
    got = read(jobPipe->read.get(), &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  jobPipe->read.reset();
  if (got != 0) {
    sdorqWriteStatusWord(DorqStatus::ExecFailed);
  }
  sdorqWriteStatusWord(DorqStatus::Ok);
  return got != 0 ? DorqStatus::ExecFailed : DorqStatus::Ok;
}

// The audit line of a started job, written as soon as its start is known.
void auditStart(const char* user, const char* path, char** argv, pid_t child, DorqStatus status) {
  uint32_t count = 0;
  while (argv[0] != nullptr && argv[count + 1] != nullptr) {
    ++count;
  }
  sdorqAudit({user, path, nullptr, count, child, status});
}

DorqStatus finish(int waitStatus, int* exitStatus) {
  if ((waitStatus & kSignalBits) != 0) {
    return DorqStatus::Signalled;
  }
  *exitStatus = (waitStatus >> kExitShift) & kExitBits;
  return DorqStatus::Ok;
}

// dorq must reap its child even when its caller ignores SIGCHLD (which would
// make the kernel reap it instead); the child puts the inherited disposition
// back before the exec.
struct sigaction takeDefaultSigchld() {
  struct sigaction inherited {};
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(SIGCHLD, &standard, &inherited);
  return inherited;
}

DorqStatus forkAndWait(const char* path, char** argv, const char* user, int flags, JobPipe* jobPipe,
                       int* exitStatus) {
  const JobIdentity identity = sdorqResolveJobIdentity(user);
  const ChildPlan plan{path,
                       argv,
                       flags,
                       &identity,
                       jobPipe->write.get(),
                       jobPipe->read.get(),
                       takeDefaultSigchld()};
  // Whatever a PAM module or dorq itself left open stays out of the job.
  sdorqProtectOwnDescriptors();
  fflush(stdout);
  // The child only makes system calls before its exec or _exit, so it can
  // borrow dorq's memory (vfork, called in this very frame, which the child
  // never returns from) instead of copying its page tables. With execution
  // detail traced, the child writes trace lines through stdio and gets a
  // memory of its own (fork).
  const bool traceExec = (static_cast<uint32_t>(dorqTraceLevel) & kTraceExec) != 0;
  pid_t child = -1;
  if (traceExec) {
    child = fork();
  } else {
    child = vfork();
  }
  if (child == 0) {
    // Only system calls until the exec or _exit, and it never returns.
    sdorqRunChild(plan);  // NOLINT(clang-analyzer-unix.Vfork)
  }
  if (child < 0) {
    if ((flags & kFlagStatusWords) != 0) {
      sdorqWriteStatusWord(DorqStatus::ForkFailed);
    }
    return DorqStatus::ForkFailed;
  }
  const DorqStatus started = jobPipe->read.valid() ? reportStart(jobPipe) : DorqStatus::Ok;
  auditStart(user, path, argv, child, started);
  sdorqRecordChildPid(child);
  int waitStatus = 0;
  const DorqStatus status = sdorqWaitForChild(child, flags, &waitStatus);
  return status == DorqStatus::Ok ? finish(waitStatus, exitStatus) : status;
}

}  // namespace

DorqStatus sdorqRunCommandAsUser(const char* path, char** argv, const char* user, int flags,
                                 int* exitStatus) {
  JobPipe jobPipe;
  if ((flags & kFlagStatusWords) != 0 && !openJobPipe(&jobPipe)) {
    sdorqWriteStatusWord(DorqStatus::ExecFailed);
    return DorqStatus::ExecFailed;
  }
  sdorqSetJobLibraryPath();
  if (strcmp(path, kKillWord) == 0) {
    return runKillRequest(argv, user, flags);
  }
  return forkAndWait(path, argv, user, flags, &jobPipe, exitStatus);
}
