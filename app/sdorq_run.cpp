// Running the command as the user, the parent's side: prepare the job
// (library path, identity, environment, descriptors), spawn it, report its
// start, record its pid, and have its end waited for. The child's side is
// sdorq_child.cpp, the waits sdorq_wait.cpp, the kill request sdorq_kill.cpp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "app/dorq_numbers.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_environ.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"
#include "app/sdorq_run.h"
#include "port/unique_handle.h"
#include "settings/slzgetevar.h"

const char* dorqChildPidFile = nullptr;

namespace {

constexpr const char* kTraceUnit = "sdorq";
constexpr int kStdout = 1;
constexpr int kStderr = 2;

// SIGPIPE as dorq was started with it; the child puts it back before the
// exec.
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

void writeWord(int flags, DorqStatus status) {
  if ((flags & kFlagStatusWords) != 0) {
    sdorqWriteStatusWord(status);
  }
}

// ---- Prepare ----

// The job pipe, in every mode: its end tells that the command has replaced
// the child. Created close-on-exec, so neither end can reach the command.
struct JobPipe {
  UniqueFd read;
  UniqueFd write;
};

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
    const AsCaller caller;
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

// Where standard output or error is a terminal, the job gets a new
// write-only open of it, made as the caller and never its controlling
// terminal, so that it cannot read what is typed there. When the caller
// cannot open it, the job writes to /dev/null instead.
constexpr char kDevNull[] = "/dev/null";
constexpr size_t kProcFdPath = 32;

UniqueFd openTerminal(int fd) {
  if (isatty(fd) == 0) {
    return UniqueFd();
  }
  char path[kProcFdPath];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const AsCaller asCaller;
  UniqueFd opened(asCaller.active() ? open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)
                                    : -1);
  const int status = opened.valid() ? fcntl(opened.get(), F_GETFL) : -1;
  // The description is dorq's own: the job writes without O_NONBLOCK.
  if (status == -1 || isatty(opened.get()) == 0 ||
      fcntl(opened.get(), F_SETFL, status & ~O_NONBLOCK) == -1) {
    opened.reset(open(kDevNull, O_WRONLY | O_CLOEXEC));
  }
  return opened;
}

// A descriptor the pid record goes to is dorq's to write to and close; it
// must not reach the job.
void keepPidRecordFromJob() {
  if (dorqChildPidFile == nullptr) {
    return;
  }
  if (const auto fd = dorqScanDecimal(dorqChildPidFile); fd && sdorqWasInherited(*fd)) {
    const int current = fcntl(*fd, F_GETFD);
    if (current != -1) {
      (void)fcntl(*fd, F_SETFD, current | FD_CLOEXEC);
    }
  }
}

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
// only system calls until its exec or _exit, so it shares dorq's memory
// (clone with CLONE_VM): no page tables are copied, and it runs on a stack
// of its own, which lives until the job pipe has closed. dorq does not wait
// in the clone for the exec (no CLONE_VFORK): a child stopped by the user
// between its identity switch and its exec must not hold dorq, which goes on
// watching its caller. With execution detail traced the child writes trace
// lines through the C library, which needs a memory of its own: fork. So
// does a child of the AddressSanitizer build, whose runtime keeps one stack
// per thread.
pid_t spawn(const ChildPlan& plan, ChildStack* stack) {
  if ((static_cast<uint32_t>(dorqTraceLevel) & kTraceExec) != 0 || kSanitized) {
    const pid_t child = fork();
    if (child == 0) {
      sdorqRunChild(plan);
    }
    return child;
  }
  if (stack->base == MAP_FAILED) {
    errno = ENOMEM;
    return -1;
  }
  return clone(childEntry, stack->top(), CLONE_VM | SIGCHLD, const_cast<ChildPlan*>(&plan));
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
// written to (as the caller) and closed. A number that names no inherited
// descriptor (one that a PAM module left open, say) is left alone.
void recordOnDescriptor(int fd, pid_t child) {
  if (!sdorqWasInherited(fd)) {
    return;
  }
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%s%d%s", kPidFrame, static_cast<int>(child), kPidFrame);
  {
    const AsCaller asCaller;
    if (asCaller.active()) {
      writeText(fd, text);
    }
  }
  close(fd);
}

// Otherwise it is a file, written from its start without truncation. It is
// opened and written as the caller, so it lands only where the caller could
// have written it itself, and it must be the caller's own regular file (see
// sdorqOpenAsCaller).
void recordInFile(const char* name, pid_t child) {
  DORQ_TRACE(kTraceExec, kRunFunction, "Openning file %s", name);
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%d", static_cast<int>(child));
  const AsCaller asCaller;
  const UniqueFd fd = sdorqOpenAsCaller(asCaller, name, /*append=*/false, kPidFileMode);
  if (fd.valid()) {
    writeText(fd.get(), text);
  }
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

// ---- The job ----

uint32_t countArguments(char** argv) {
  uint32_t count = 0;
  while (argv[0] != nullptr && argv[count + 1] != nullptr) {
    ++count;
  }
  return count;
}

// What the child needs besides the plan: kept alive until it has executed.
struct Prepared {
  JobIdentity identity;
  JobEnvironment environment;
  UniqueFd terminalOut;
  UniqueFd terminalErr;
};

// The start is known: the audit line first, as nothing of it can block on
// the caller; then the status words (10 and 0 for a child that failed: the
// driver writes nothing more for it, the child's exit status tells).
void reportStart(const JobRun& run, bool started, const StartReport& report) {
  if (started) {
    sdorqAuditStarted(*run.request, run.child);
  } else {
    const auto status = static_cast<DorqStatus>(report.code);
    const char* reason = status == DorqStatus::AuthFailed ? "unknown-user" : nullptr;
    sdorqAuditRefused(*run.request, run.child, {status, reason, report.error});
  }
  if (!started && report.quiet == 0) {
    writeWord(run.flags, DorqStatus::ExecFailed);
  }
  writeWord(run.flags, DorqStatus::Ok);
}

DorqStatus runJob(const char* path, char** argv, const char* user, int flags, JobPipe* jobPipe,
                  int* exitStatus) {
  const AuditRequest request{user, path, nullptr, countArguments(argv)};
  Prepared prepared{
      sdorqResolveJobIdentity(user), {}, openTerminal(kStdout), openTerminal(kStderr)};
  if (!sdorqBuildJobEnvironment(prepared.identity, &prepared.environment)) {
    writeWord(flags, DorqStatus::ForkFailed);
    sdorqAuditRefused(request, 0, {DorqStatus::ForkFailed, "no-memory", ENOMEM});
    return DorqStatus::ForkFailed;
  }
  const ChildPlan plan{path,
                       argv,
                       prepared.environment.vars.get(),
                       flags,
                       &prepared.identity,
                       jobPipe->write.get(),
                       jobPipe->read.get(),
                       prepared.terminalOut.get(),
                       prepared.terminalErr.get(),
                       takeDefaultSigchld(),
                       inheritedSigpipe};
  // Whatever a PAM module or dorq itself left open stays out of the job.
  sdorqProtectOwnDescriptors();
  keepPidRecordFromJob();
  fflush(stdout);
  JobRun run{&request, -1, flags, {}};
  clock_gettime(CLOCK_MONOTONIC, &run.spawned);
  ChildStack stack;
  run.child = spawn(plan, &stack);
  if (run.child < 0) {
    // The driver writes 9 again with the frame: a fork failure shows as 9, 9.
    const int error = errno;
    writeWord(flags, DorqStatus::ForkFailed);
    sdorqAuditRefused(request, 0, {DorqStatus::ForkFailed, nullptr, error});
    return DorqStatus::ForkFailed;
  }
  jobPipe->write.reset();
  StartReport report{};
  const bool started = sdorqAwaitStart(run, jobPipe->read.get(), &report);
  jobPipe->read.reset();
  reportStart(run, started, report);
  recordChildPid(run.child);
  return sdorqAwaitEnd(run, started, exitStatus);
}

DorqStatus runKillRequest(char** argv, const char* user, int flags) {
  // A count of -1 puts the terminator in slot 0, so slot 1 does not exist.
  const char* target = argv[0] == nullptr ? nullptr : argv[1];
  AuditOutcome outcome{};
  const DorqStatus code = sdorqKill(target, user, &outcome);
  sdorqAuditKill({user, kKillWord, target != nullptr ? target : "", 0}, outcome);
  writeWord(flags, code);
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
  sdorqOpenCallerWatch();
}

DorqStatus sdorqKillRequest(const char* pidText, const char* user) {
  AuditOutcome outcome{};
  return sdorqKill(pidText, user, &outcome);
}

DorqStatus sdorqRunCommandAsUser(const char* path, char** argv, const char* user, int flags,
                                 int* exitStatus) {
  setJobLibraryPath();
  if (strcmp(path, kKillWord) == 0) {
    return runKillRequest(argv, user, flags);  // no child, so no job pipe
  }
  JobPipe jobPipe;
  if (!openJobPipe(&jobPipe)) {
    const int error = errno;
    writeWord(flags, DorqStatus::ExecFailed);
    sdorqAuditRefused({user, path, nullptr, countArguments(argv)}, 0,
                      {DorqStatus::ExecFailed, "job-pipe-failed", error});
    return DorqStatus::ExecFailed;
  }
  return runJob(path, argv, user, flags, &jobPipe, exitStatus);
}
