// Running the command as the user, the child's side: session, report
// descriptor, identity, dorq's go, descriptors, exec, failure exit.
//
// Everything on this path is async-signal-safe: the child shares dorq's
// memory until its exec (see spawn in sdorq_run.cpp), so it takes no lock,
// allocates nothing and looks nothing up; the user, the group list and the
// environment were prepared before the spawn. The only memory of dorq's it
// writes is the list the identity switch reads the groups back into (and
// errno, which it shares with dorq's thread: dorq, meanwhile, only polls
// and reads the job pipe and never acts on errno). The one exception is
// the optional trace lines of the exec, written only when the trace level
// asks for execution detail: the child then has a memory of its own (fork),
// and as dorq has a single thread no C library lock can be held across it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/job/sdorq_exec.h"
#include "app/base/sdorq_identity.h"
#include "app/job/sdorq_run.h"

namespace {

constexpr const char* kTraceUnit = "sdorq";
constexpr int kStderr = 2;
constexpr int kStdout = 1;
// The report descriptor is kept above the standard ones.
constexpr int kLowestPrivateFd = 3;

// Formats the status frame for code into buf without the C library's
// formatted print; returns the length. The buffer always suffices.
size_t formatFrame(char (&buf)[kFrameBuffer], int code) {
  size_t length = 0;
  for (const char* p = kFrameOpen; *p != '\0'; ++p) {
    buf[length++] = *p;
  }
  unsigned magnitude = code < 0 ? 0U - static_cast<unsigned>(code) : static_cast<unsigned>(code);
  char digits[12];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (code < 0) {
    buf[length++] = '-';
  }
  while (count > 0) {
    buf[length++] = digits[--count];
  }
  for (const char* p = kFrameClose; *p != '\0'; ++p) {
    buf[length++] = *p;
  }
  buf[length] = '\0';
  return length;
}

void writeFrame(int fd, int code) {
  char frame[kFrameBuffer];
  const size_t length = formatFrame(frame, code);
  (void)!write(fd, frame, length);
}

// The child's private copy of standard error, for its failure frame: a
// close-on-exec duplicate, so the command never sees it. No flag of the open
// file description is changed: it is the caller's too.
int openReportDescriptor(int flags) {
  if ((flags & kFlagKeepStderr) != 0) {
    return kStderr;
  }
  const int fd = fcntl(kStderr, F_DUPFD_CLOEXEC, kLowestPrivateFd);
  if (fd < 0) {
    return -1;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status == -1 || (status & O_ACCMODE) == O_RDONLY) {
    close(fd);
    errno = EBADF;  // a frame could not be written to it
    return -1;
  }
  return fd;
}

// The frame is written as the caller while the child is still root.
void writeFrameAsCaller(int fd, int code) {
  const AsCaller asCaller;
  if (asCaller.active()) {
    writeFrame(fd, code);
  }
}

void sendReport(const ChildPlan& plan, DorqStatus status, int error, bool quiet) {
  const StartReport report{dorqStatusCode(status), error, quiet ? 1 : 0};
  (void)!write(plan.pipeWrite, &report, sizeof report);
  close(plan.pipeWrite);
}

// Every failure before the command replaces the child ends here: the code
// through the job pipe, the frame on the report descriptor, then _exit.
[[noreturn]] void failChild(const ChildPlan& plan, int reportFd, DorqStatus status, int error) {
  // A failed exec comes back with the caller's SIGPIPE disposition in place;
  // the frame to a caller that has gone must not turn into a signal.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)sigaction(SIGPIPE, &ignore, nullptr);
  sendReport(plan, status, error, /*quiet=*/false);
  writeFrameAsCaller(reportFd, dorqStatusCode(status));
  _exit(dorqStatusCode(status));
}

// The caller's terminal reaches the job only through a write-only open of
// its own.
bool placeTerminals(const ChildPlan& plan) {
  return (plan.terminalOut < 0 || dup2(plan.terminalOut, kStdout) == kStdout) &&
         (plan.terminalErr < 0 || dup2(plan.terminalErr, kStderr) == kStderr);
}

// The child, now the user's, may run the command only once dorq has
// written the line that names it, and never once dorq is gone: it asks to
// be killed when dorq ends (the switch has just cleared any such request;
// it lasts through the exec), checks that dorq did not go before that, and
// waits for dorq's go. End of file on the go pipe means dorq went (or chose
// not to go on): the child ends without a word, as dorq reports for it.
constexpr int kNoGo = 0;
void awaitGo(const ChildPlan& plan) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.parent) {
    _exit(kNoGo);
  }
  char go = 0;
  ssize_t got = -1;
  do {
    got = read(plan.goRead, &go, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1) {
    _exit(kNoGo);
  }
  close(plan.goRead);
}

void traceExec(const ChildPlan& plan) {
  DORQ_TRACE(kTraceExec, kRunFunction, "Executing %s", plan.path);
  for (int i = 0; plan.argv[i] != nullptr; ++i) {
    DORQ_TRACE(kTraceExec, kRunFunction, "argv[%d] = %s", i, plan.argv[i]);
  }
}

}  // namespace

void sdorqRunChild(const ChildPlan& plan) {
  close(plan.pipeRead);
  close(plan.goWrite);
  // Session: one of its own, so the job has no controlling terminal (nothing
  // to push input into) and leads a process group whose id is its pid, the
  // group the kill request signals. Where no session can be made, the
  // process group alone.
  if (setsid() < 0) {
    (void)setpgid(0, 0);
  }
  // Report descriptor: where a failure's frame goes.
  const int reportFd = openReportDescriptor(plan.flags);
  if (reportFd < 0) {
    const int error = errno;
    writeFrameAsCaller(kStderr, dorqStatusCode(DorqStatus::StderrCopy));
    sendReport(plan, DorqStatus::StderrCopy, error, /*quiet=*/true);
    _exit(dorqStatusCode(DorqStatus::StderrCopy));
  }
  // The caller's umask and limits, while the child may still raise them;
  // then the user's groups, group id and user id, read back.
  sdorqRestoreCallerLimits();
  if (!plan.identity->known) {
    failChild(plan, reportFd, DorqStatus::AuthFailed, 0);
  }
  if (!sdorqSwitchIdentity(*plan.identity)) {
    failChild(plan, reportFd, DorqStatus::Identity, errno);
  }
  awaitGo(plan);
  // Descriptors: the caller's terminals write-only; standard error joined to
  // standard output unless kept apart; the job pipe closes with the exec.
  if (!placeTerminals(plan) ||
      ((plan.flags & kFlagKeepStderr) == 0 && dup2(kStdout, kStderr) < 0)) {
    failChild(plan, reportFd, DorqStatus::StderrCopy, errno);
  }
  if (fcntl(plan.pipeWrite, F_SETFD, FD_CLOEXEC) == -1) {
    failChild(plan, reportFd, DorqStatus::ExecFailed, errno);
  }
  // Exec, with the SIGCHLD and SIGPIPE dispositions and the signal mask
  // dorq was started with (dorq blocks the cancel signals it reads).
  traceExec(plan);
  (void)sigaction(SIGCHLD, &plan.inheritedSigchld, nullptr);
  (void)sigaction(SIGPIPE, &plan.inheritedSigpipe, nullptr);
  (void)sigprocmask(SIG_SETMASK, &plan.callerMask, nullptr);
  execvpe(plan.path, plan.argv, plan.envp);
  // Failure exit.
  failChild(plan, reportFd, DorqStatus::ExecFailed, errno);
}
