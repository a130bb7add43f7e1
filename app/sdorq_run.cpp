// Running the command as the user, the parent's side: prepare, spawn, start
// report, child pid record, wait, result; and the kill request, which needs
// no child. The child's side is sdorq_child.cpp.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/dorq_numbers.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"
#include "app/sdorq_run.h"
#include "port/unique_handle.h"
#include "settings/slzgetevar.h"

const char* dorqChildPidFile = nullptr;

namespace {

constexpr const char* kTraceUnit = "sdorq";

// ---- Signal dispositions dorq changes for itself ----

// SIGPIPE and SIGCHLD as dorq was started with them; the child puts both
// back before the exec.
struct sigaction inheritedSigpipe {};

// dorq must reap its child even when its caller ignores SIGCHLD (which would
// make the kernel reap it instead).
struct sigaction takeDefaultSigchld() {
  struct sigaction inherited {};
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(SIGCHLD, &standard, &inherited);
  return inherited;
}

// ---- The caller, watched while the job runs ----

// A pidfd of dorq's parent, readable once the caller has ended; -1 where the
// kernel has none.
int callerPidfd = -1;
// When dorq's parent is pid 1 its caller has gone: the fallback check.
constexpr pid_t kInitPid = 1;

int openPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// ---- Prepare ----

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

// The job's library path: the installation's lib32 and lib below
// ZANTIX_HOME, then LD_LIBRARY_PATH_SDORQ when it is set.
constexpr char kWithExtra[] = "LD_LIBRARY_PATH=%s/lib32:%s/lib:%s";
constexpr char kHomeOnly[] = "LD_LIBRARY_PATH=%s/lib32:%s/lib";
// Room for the fixed text of each format and its terminator.
constexpr size_t kWithExtraFixed = 30;
constexpr size_t kHomeOnlyFixed = 15;

// Looks name up into value (kLibPathValueMax + 1 zero-filled bytes) and
// terminates it; returns the length, 0 when not set.
size_t lookUpSetting(const char* name, char* value) {
  uint32_t error = 0;
  const int32_t length = slzgetevar(&error, name, strlen(name), value, kLibPathValueMax, 0);
  if (length <= 0) {
    return 0;
  }
  value[length] = '\0';
  return static_cast<size_t>(length);
}

void setJobLibraryPath() {
  char extra[kLibPathValueMax + 1] = {};
  char home[kLibPathValueMax + 1] = {};
  size_t extraLength = 0;
  size_t homeLength = 0;
  {
    // Should the settings file not have been read yet, it is read with the
    // caller's rights, as its place comes from the caller's environment.
    const CallerFilesystemIdentity caller;
    if (caller.active()) {
      extraLength = lookUpSetting(kLibPathExtraName, extra);
      homeLength = lookUpSetting(kHomeName, home);
    }
  }
  if (homeLength == 0) {
    return;
  }
  const size_t size = extraLength > 0 ? extraLength + kWithExtraFixed + 2 * homeLength
                                      : 2 * (homeLength + kHomeOnlyFixed);
  // The environment keeps this text for the rest of the process.
  auto* text = static_cast<char*>(malloc(size));
  if (text == nullptr) {
    DORQ_TRACE(kTraceExec, kRunFunction, "No memory for the library path; environment unchanged");
    return;
  }
  if (extraLength > 0) {
    snprintf(text, size, kWithExtra, home, home, extra);
  } else {
    snprintf(text, size, kHomeOnly, home, home);
  }
  if (putenv(text) != 0) {
    free(text);
  }
  // On success the environment owns text for the rest of the process.
}  // NOLINT(clang-analyzer-unix.Malloc)

// ---- Spawn ----

// The child's own stack: as large as a main thread's usual one (the path
// search keeps its work on the stack, an argument vector long), with a
// guard page below it. Only the pages the child touches are ever backed.
constexpr size_t kChildStackSize = 8U << 20U;
constexpr size_t kGuardSize = 4096;

struct ChildStack {
  void* base = MAP_FAILED;
  ChildStack() {
    base = mmap(nullptr, kChildStackSize + kGuardSize, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (base != MAP_FAILED && mprotect(base, kGuardSize, PROT_NONE) != 0) {
      (void)munmap(base, kChildStackSize + kGuardSize);
      base = MAP_FAILED;
    }
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;
  ~ChildStack() {
    if (base != MAP_FAILED) {
      (void)munmap(base, kChildStackSize + kGuardSize);
    }
  }
  // The stack grows down from its top.
  void* top() const { return static_cast<char*>(base) + kGuardSize + kChildStackSize; }
};

int childEntry(void* plan) {
  sdorqRunChild(*static_cast<const ChildPlan*>(plan));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// The only place that decides how the child is created. The child makes
// only system calls until its exec or _exit, so it shares dorq's memory and
// dorq waits until it has executed or ended (clone with CLONE_VM and
// CLONE_VFORK): no page tables are copied. Unlike a vfork child, it runs on
// a stack of its own, so its calls cannot overwrite the frames of dorq's
// own stack. With execution detail traced the child writes trace lines
// through the C library, which needs a memory of its own: fork. So does a
// child of the AddressSanitizer build, whose runtime keeps one stack per
// thread and takes a shared memory on another stack for a broken one.
pid_t spawn(const ChildPlan& plan) {
  if ((static_cast<uint32_t>(dorqTraceLevel) & kTraceExec) != 0 || kSanitized) {
    const pid_t child = fork();
    if (child == 0) {
      sdorqRunChild(plan);
    }
    return child;
  }
  const ChildStack stack;
  if (stack.base == MAP_FAILED) {
    return -1;
  }
  return clone(childEntry, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD,
               const_cast<ChildPlan*>(&plan));
}

// ---- Start report ----

// Reads the child's start report: end of input means the command replaced
// the child; a code (or a read error) means the child failed to start it.
// The result is that code, for the audit line (10 after a read error).
DorqStatus reportStart(JobPipe* jobPipe) {
  jobPipe->write.reset();
  int code = 0;
  ssize_t got = 0;
  do {
    got = read(jobPipe->read.get(), &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  jobPipe->read.reset();
  // A failed start shows as 10 and then 0 here, and the driver writes 10
  // again with the frame: the scheduler's protocol reads all three.
  if (got != 0) {
    sdorqWriteStatusWord(DorqStatus::ExecFailed);
  }
  sdorqWriteStatusWord(DorqStatus::Ok);
  if (got == 0) {
    return DorqStatus::Ok;
  }
  constexpr int kLargestCode = 0xFF;
  return got == sizeof code && code > 0 && code <= kLargestCode ? static_cast<DorqStatus>(code)
                                                                : DorqStatus::ExecFailed;
}

// The audit line of a started job, written as soon as its start is known.
void auditStart(const char* user, const char* path, char** argv, pid_t child, DorqStatus status) {
  uint32_t count = 0;
  while (argv[0] != nullptr && argv[count + 1] != nullptr) {
    ++count;
  }
  sdorqAudit({user, path, nullptr, count, child, status});
}

// ---- Child pid record ----

constexpr size_t kPidTextBuffer = 128;
constexpr char kPidFrame[] = "DORQ_CHILD_PID";
constexpr mode_t kPidFileMode = 0660;

void writeText(int fd, const char* text) {
  // Failures to write are ignored: the record is a convenience for the caller.
  (void)!write(fd, text, strlen(text));
}

// A text that begins with a number names a descriptor dorq inherited; it is
// written to and closed. A number that names no inherited descriptor (one
// that a PAM module left open, say) is left alone.
void recordOnDescriptor(int fd, pid_t child) {
  if (!sdorqWasInherited(fd)) {
    return;
  }
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%s%d%s", kPidFrame, static_cast<int>(child), kPidFrame);
  writeText(fd, text);
  close(fd);
}

// Otherwise it is a file, written from its start without truncation. It is
// opened with the caller's own filesystem identity, so it lands only where
// the caller could have written it itself, and it must be the caller's own
// regular file (see sdorqOpenAsCaller).
void recordInFile(const char* name, pid_t child) {
  DORQ_TRACE(kTraceExec, kRunFunction, "Openning file %s", name);
  const UniqueFd fd = sdorqOpenAsCaller(name, /*append=*/false, kPidFileMode);
  if (!fd.valid()) {
    return;
  }
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%d", static_cast<int>(child));
  writeText(fd.get(), text);
}

void recordChildPid(pid_t child) {
  if (dorqChildPidFile == nullptr) {
    return;
  }
  if (const auto fd = dorqScanDecimal(dorqChildPidFile)) {
    recordOnDescriptor(*fd, child);
  } else {
    recordInFile(dorqChildPidFile, child);
  }
}

// ---- Wait ----

DorqStatus reap(pid_t child, int* waitStatus) {
  for (;;) {
    if (waitpid(child, waitStatus, 0) == child) {
      return DorqStatus::Ok;
    }
    if (errno != EINTR) {
      return DorqStatus::WaitFailed;
    }
  }
}

// The caller has gone: the job is killed and dorq ends at once with 0, with
// no exit handlers and no frame.
[[noreturn]] void endOrphaned(pid_t child) {
  kill(child, SIGKILL);
  _exit(0);
}

// Sleeps until the job ends or the caller does, whoever adopts dorq then:
// no wake-up in between. False when either cannot be watched.
bool watchJobAndCaller(pid_t child) {
  const UniqueFd job(openPidfd(child));
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
      endOrphaned(child);
    }
  }
}

// Without pidfds: a look once a second whether the job has ended or dorq's
// parent has become process 1.
DorqStatus pollOnceASecond(pid_t child, int* waitStatus) {
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
    (void)sleep(1);
  }
}

// A blocking wait (flags value 4), or one that also watches the caller and
// kills the job when the caller has gone.
DorqStatus waitForChild(pid_t child, int flags, int* waitStatus) {
  *waitStatus = 0;
  if ((flags & kFlagBlockingWait) != 0 || watchJobAndCaller(child)) {
    return reap(child, waitStatus);
  }
  return pollOnceASecond(child, waitStatus);
}

// ---- Result ----

// Bits 0-6 of a wait status name the signal that ended the child.
constexpr int kSignalBits = 0x7F;
constexpr int kExitShift = 8;
constexpr int kExitBits = 0xFF;

DorqStatus result(int waitStatus, int* exitStatus) {
  if ((waitStatus & kSignalBits) != 0) {
    return DorqStatus::Signalled;
  }
  *exitStatus = (waitStatus >> kExitShift) & kExitBits;
  return DorqStatus::Ok;
}

DorqStatus runJob(const char* path, char** argv, const char* user, int flags, JobPipe* jobPipe,
                  int* exitStatus) {
  const JobIdentity identity = sdorqResolveJobIdentity(user);
  const ChildPlan plan{path,
                       argv,
                       flags,
                       &identity,
                       jobPipe->write.get(),
                       jobPipe->read.get(),
                       takeDefaultSigchld(),
                       inheritedSigpipe};
  // Whatever a PAM module or dorq itself left open stays out of the job.
  sdorqProtectOwnDescriptors();
  fflush(stdout);
  const pid_t child = spawn(plan);
  if (child < 0) {
    // The driver writes 9 again with the frame: a fork failure shows as 9, 9.
    if ((flags & kFlagStatusWords) != 0) {
      sdorqWriteStatusWord(DorqStatus::ForkFailed);
    }
    return DorqStatus::ForkFailed;
  }
  const DorqStatus started = jobPipe->read.valid() ? reportStart(jobPipe) : DorqStatus::Ok;
  auditStart(user, path, argv, child, started);
  recordChildPid(child);
  int waitStatus = 0;
  const DorqStatus status = waitForChild(child, flags, &waitStatus);
  return status == DorqStatus::Ok ? result(waitStatus, exitStatus) : status;
}

// ---- Kill request ----

// Group 0 would be dorq's own group and -1 (from a pid of 1) every process
// the user may signal: a pid below 2 names no job and is refused.
constexpr int kLowestJobGroup = 2;

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

}  // namespace

void sdorqIgnoreSigpipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &inheritedSigpipe);
}

void sdorqWatchCaller() {
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

DorqStatus sdorqKillRequest(const char* pidText, const char* user) {
  if (pidText == nullptr) {
    return DorqStatus::KillFailed;
  }
  const int group = dorqAtoi(pidText);
  if (group < kLowestJobGroup) {
    return DorqStatus::KillFailed;
  }
  // dorq's own process takes on the user's identity for good: the signal
  // reaches only what the user may signal itself.
  if (!sdorqSwitchIdentity(sdorqResolveJobIdentity(user))) {
    return DorqStatus::KillFailed;
  }
  return kill(-group, SIGKILL) == 0 ? DorqStatus::Ok : DorqStatus::KillFailed;
}

DorqStatus sdorqRunCommandAsUser(const char* path, char** argv, const char* user, int flags,
                                 int* exitStatus) {
  JobPipe jobPipe;
  if ((flags & kFlagStatusWords) != 0 && !openJobPipe(&jobPipe)) {
    sdorqWriteStatusWord(DorqStatus::ExecFailed);
    return DorqStatus::ExecFailed;
  }
  setJobLibraryPath();
  if (strcmp(path, kKillWord) == 0) {
    return runKillRequest(argv, user, flags);
  }
  return runJob(path, argv, user, flags, &jobPipe, exitStatus);
}
