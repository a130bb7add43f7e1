// Running the command as the user, the parent's side: prepare the job
// (library path, identity, environment, descriptors), have it spawned
// (sdorq_spawn.cpp), report its start, record its pid, and have its end
// waited for (sdorq_wait.cpp). The child's side is sdorq_child.cpp, the kill
// request sdorq_kill.cpp.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "app/base/dorq_numbers.h"
#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/audit/sdorq_audit.h"
#include "app/job/sdorq_cgroup.h"
#include "app/job/sdorq_descriptors.h"
#include "app/job/sdorq_environ.h"
#include "app/job/sdorq_exec.h"
#include "app/base/sdorq_identity.h"
#include "app/job/sdorq_run.h"
#include "app/base/sdorq_signals.h"
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

// The name of a system error number for the trace ("ENOENT"), or "-".
const char* errnoName(int error) {
  const char* name = error != 0 ? strerrorname_np(error) : nullptr;
  return name != nullptr ? name : "-";
}

// ---- Prepare ----

// The job pipe, in every mode: its end tells that the command has replaced
// the child. The go pipe: dorq's one byte tells the child that the log names
// it. Both are created close-on-exec, so no end can reach the command.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
struct JobPipes {
  Pipe job;
  Pipe go;
};

bool openPipe(Pipe* pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  pipe->read.reset(fds[0]);
  pipe->write.reset(fds[1]);
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
// must not reach the job, unless it is one of the job's standard streams.
void keepPidRecordFromJob() {
  if (dorqChildPidFile == nullptr) {
    return;
  }
  if (const auto fd = dorqScanDecimal(dorqChildPidFile);
      fd && *fd > kStderr && sdorqWasInherited(*fd)) {
    const int current = fcntl(*fd, F_GETFD);
    if (current != -1) {
      (void)fcntl(*fd, F_SETFD, current | FD_CLOEXEC);
    }
  }
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

// A job that never got a child: 9 or 10, told the same way in the log, the
// trace and the status words.
DorqStatus notSpawned(const AuditRequest& request, const StatusChannel& channel, DorqStatus status,
                      const char* reason, int error) {
  DORQ_TRACE(kTraceExec, kRunFunction, "No child: status %d, %s", dorqStatusCode(status),
             errnoName(error));
  sdorqAuditRefused(request, 0, {status, reason, error, 0});
  channel.report(DorqEvent::NotSpawned, status);
  return status;
}

// The start is known: the audit line first, as nothing of it can block on
// the caller; then the trace and the status words.
void reportStart(const JobRun& run, const StatusChannel& channel, bool started,
                 const StartReport& report) {
  if (started) {
    sdorqAuditStarted(*run.request, run.child);
    channel.report(DorqEvent::JobStarted);
    return;
  }
  const auto status = static_cast<DorqStatus>(report.code);
  const char* reason = status == DorqStatus::AuthFailed ? "unknown-user" : nullptr;
  sdorqAuditRefused(*run.request, run.child, {status, reason, report.error, 0});
  DORQ_TRACE(kTraceExec, kRunFunction, "Child %d failed before its exec: status %d, %s",
             static_cast<int>(run.child), report.code, errnoName(report.error));
  channel.report(report.quiet != 0 ? DorqEvent::StartFailedQuiet : DorqEvent::StartFailed);
}

// The job's cgroup, made before the spawn so that the child is born in it.
void prepareCgroup(const JobIdentity& identity, JobCgroup* cgroup) {
  const char* reason = "unknown user";
  if (!identity.known || !sdorqMakeJobCgroup(identity.uid, cgroup, &reason)) {
    DORQ_TRACE(kTraceExec, kRunFunction, "No cgroup for the job: %s", reason);
  }
}

// A cancel that came before the go: the child, still waiting for it, is
// killed and reaped, and the request refused; the command never ran.
DorqStatus cancelBeforeGo(const JobRun& run, const StatusChannel& channel, int signal) {
  (void)kill(run.child, SIGKILL);
  int waitStatus = 0;
  while (waitpid(run.child, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  JobUsage unused{};
  sdorqEndJobCgroup(run.cgroup, &unused);
  DORQ_TRACE(kTraceExec, kRunFunction, "Cancelled by signal %d before the go", signal);
  sdorqAuditRefused(*run.request, run.child, {DorqStatus::ForkFailed, kReasonCancelled, 0, signal});
  channel.report(DorqEvent::NotSpawned, DorqStatus::ForkFailed);
  return DorqStatus::ForkFailed;
}

// The log names the job, then the child may run it.
bool giveGo(const JobRun& run, Pipe* go) {
  sdorqAuditSpawned(*run.request, run.child);
  if (sdorqCancelled() != 0) {
    return false;
  }
  constexpr char kGo = 1;
  (void)!write(go->write.get(), &kGo, 1);
  go->write.reset();
  return true;
}

// A child the kernel could not make in the cgroup runs without one.
void keepCgroupOnlyWithChild(const ChildSpawn& child, JobCgroup* cgroup) {
  if (cgroup->dir.valid() && !child.inCgroup()) {
    DORQ_TRACE(kTraceExec, kRunFunction, "No cgroup for the job: not born into it");
    JobUsage unused{};
    sdorqEndJobCgroup(cgroup, &unused);
  }
}

// The story of a job: prepare its child and its cgroup, spawn it there,
// learn whether the command replaced it, say so, record its pid, wait for
// its end.
DorqStatus runJob(const RunRequest& job, const StatusChannel& channel, JobPipes* pipes,
                  int* exitStatus) {
  const AuditRequest request{job.user, job.path, nullptr, countArguments(job.argv)};
  Prepared prepared{
      sdorqResolveJobIdentity(job.user), {}, openTerminal(kStdout), openTerminal(kStderr)};
  if (!sdorqBuildJobEnvironment(prepared.identity, &prepared.environment)) {
    return notSpawned(request, channel, DorqStatus::ForkFailed, "no-memory", ENOMEM);
  }
  JobCgroup cgroup;
  prepareCgroup(prepared.identity, &cgroup);
  const ChildPlan plan{sdorqChooseSpawn(cgroup.dir.valid()),
                       job.path,
                       job.argv,
                       prepared.environment.vars.get(),
                       job.flags,
                       &prepared.identity,
                       pipes->job.write.get(),
                       pipes->job.read.get(),
                       pipes->go.read.get(),
                       pipes->go.write.get(),
                       getpid(),
                       cgroup.dir.valid() ? cgroup.dir.get() : -1,
                       prepared.terminalOut.get(),
                       prepared.terminalErr.get(),
                       takeDefaultSigchld(),
                       inheritedSigpipe,
                       sdorqCallerSignalMask()};
  DORQ_TRACE(kTraceExec, kRunFunction, "Spawning the child by %s%s: %s",
             plan.spawn.kind == SpawnKind::SharedMemory ? "clone" : "fork",
             plan.spawn.intoCgroup ? " into its cgroup" : "", plan.spawn.reason);
  // Whatever a PAM module or dorq itself left open stays out of the job.
  sdorqProtectOwnDescriptors();
  keepPidRecordFromJob();
  fflush(stdout);
  JobRun run{&request, -1, job.flags, {}, &cgroup, &prepared.identity, {0, -1, false, false}};
  clock_gettime(CLOCK_MONOTONIC, &run.spawned);
  const ChildSpawn child(plan);
  run.child = child.pid();
  if (run.child < 0) {
    const int error = errno;
    JobUsage unused{};
    sdorqEndJobCgroup(&cgroup, &unused);
    return notSpawned(request, channel, DorqStatus::ForkFailed, nullptr, error);
  }
  keepCgroupOnlyWithChild(child, &cgroup);
  pipes->job.write.reset();
  pipes->go.read.reset();
  if (!giveGo(run, &pipes->go)) {
    return cancelBeforeGo(run, channel, sdorqCancelled());
  }
  StartReport report{};
  const bool started = sdorqAwaitStart(run, pipes->job.read.get(), &report);
  pipes->job.read.reset();
  reportStart(run, channel, started, report);
  recordChildPid(run.child);
  return sdorqAwaitEnd(run, started, exitStatus);
}

DorqStatus runKillRequest(const RunRequest& job, const StatusChannel& channel) {
  // A count of -1 puts the terminator in slot 0, so slot 1 does not exist.
  const char* target = job.argv[0] == nullptr ? nullptr : job.argv[1];
  AuditOutcome outcome{};
  const DorqStatus code = sdorqKill(target, job.user, &outcome);
  DORQ_TRACE(kTraceExec, kRunFunction, "Kill request: status %d, %s, %s", dorqStatusCode(code),
             outcome.reason != nullptr ? outcome.reason : "kill-failed", errnoName(outcome.error));
  sdorqAuditKill({job.user, kKillWord, target != nullptr ? target : "", 0}, outcome);
  channel.report(DorqEvent::KillAnswered, code);
  return code;
}

// A cancel that came after the authentication and before anything was
// started: no job (9) or no kill (14).
DorqStatus cancelled(const RunRequest& job, const StatusChannel& channel, bool kill, int signal) {
  const char* target = job.argv[0] == nullptr ? nullptr : job.argv[1];
  if (kill) {
    sdorqAuditKill({job.user, kKillWord, target != nullptr ? target : "", 0},
                   {DorqStatus::KillFailed, kReasonCancelled, 0, signal});
    channel.report(DorqEvent::KillAnswered, DorqStatus::KillFailed);
    return DorqStatus::KillFailed;
  }
  const AuditRequest request{job.user, job.path, nullptr, countArguments(job.argv)};
  sdorqAuditRefused(request, 0, {DorqStatus::ForkFailed, kReasonCancelled, 0, signal});
  channel.report(DorqEvent::NotSpawned, DorqStatus::ForkFailed);
  return DorqStatus::ForkFailed;
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

DorqStatus sdorqRunCommand(const RunRequest& job, const StatusChannel& channel, int* exitStatus) {
  setJobLibraryPath();
  const bool kill = strcmp(job.path, kKillWord) == 0;
  if (const int signal = sdorqCancelled(); signal != 0) {
    return cancelled(job, channel, kill, signal);
  }
  if (kill) {
    return runKillRequest(job, channel);  // no child, so no job pipe
  }
  JobPipes pipes;
  if (!openPipe(&pipes.job) || !openPipe(&pipes.go)) {
    return notSpawned({job.user, job.path, nullptr, countArguments(job.argv)}, channel,
                      DorqStatus::ExecFailed, "job-pipe-failed", errno);
  }
  return runJob(job, channel, &pipes, exitStatus);
}

DorqStatus sdorqRunCommandAsUser(const char* path, char** argv, const char* user, int flags,
                                 int* exitStatus) {
  const StatusChannel channel((flags & kFlagStatusWords) != 0);
  return sdorqRunCommand({path, argv, user, flags}, channel, exitStatus);
}
