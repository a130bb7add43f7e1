// What the steps of running a command share: the parent's side prepares the
// plan (sdorq_run.cpp), the child's side carries it out (sdorq_child.cpp),
// and the parent waits for the start and the end (sdorq_wait.cpp).
#ifndef DORQ_APP_JOB_SDORQ_EXEC_H
#define DORQ_APP_JOB_SDORQ_EXEC_H

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "app/base/dorq_status.h"
#include "app/audit/sdorq_audit.h"
#include "app/job/sdorq_cgroup.h"
#include "app/base/sdorq_identity.h"

// Every trace line of the execution step carries this function name.
inline constexpr const char* kRunFunction = "sdorqRunCommandAsUser";

// Settings that make the job's library path.
inline constexpr char kLibPathExtraName[] = "LD_LIBRARY_PATH_SDORQ";
inline constexpr char kHomeName[] = "ZANTIX_HOME";
// Capacity of each setting value; its buffer holds one more byte.
inline constexpr uint64_t kLibPathValueMax = 1024;

// The word that turns a request into a kill request.
inline constexpr char kKillWord[] = "kill";

// What a child that failed before its command replaced it sends through the
// job pipe, in one write. A pipe's write of this size is never split.
struct StartReport {
  int32_t code;   // the child's status code
  int32_t error;  // the system's error number, or 0
  int32_t quiet;  // 1: the failure is not shown as status words (no copy of stderr)
};

// How the child is made: sharing dorq's memory until its exec, or a fork;
// in either case born into the job's cgroup when it has one.
enum class SpawnKind : uint8_t { SharedMemory, Fork };
struct SpawnChoice {
  SpawnKind kind;
  const char* reason;  // for the trace
  bool intoCgroup;
};
// Decided once per job, before the plan is made; withCgroup: the job has a
// cgroup to be born into.
SpawnChoice sdorqChooseSpawn(bool withCgroup);

// Everything the child needs, prepared before it is spawned.
struct ChildPlan {
  SpawnChoice spawn;
  const char* path;
  char** argv;
  char** envp;
  int flags;
  const JobIdentity* identity;
  int pipeWrite;                      // the job pipe's write ends, close-on-exec
  int pipeRead;                       // its read end, closed by the child
  int goRead;                         // the go pipe's read end: dorq's go, or its end
  int goWrite;                        // its write end, dorq's, closed by the child
  pid_t parent;                       // dorq: the child runs nothing once it is gone
  int cgroupDir;                      // the job cgroup's directory, or -1
  int terminalOut;                    // a write-only open of the caller's terminal for 1, or -1
  int terminalErr;                    // likewise for 2
  struct sigaction inheritedSigchld;  // put back before the exec
  struct sigaction inheritedSigpipe;  // likewise
  sigset_t callerMask;                // the signal mask dorq was started with, likewise
};

// The child's whole path: session, report descriptor, identity,
// descriptors, exec, failure exit; never returns.
[[noreturn]] void sdorqRunChild(const ChildPlan& plan);

// The child, made as the plan says; the memory it runs on lives as long as
// this object, which must outlive the child's exec or exit (the job pipe's
// end). pid() is -1, with errno set, when no child could be made. A kernel
// that cannot make a child into a cgroup gets one the usual way, outside.
class ChildSpawn {
 public:
  explicit ChildSpawn(const ChildPlan& plan);
  ChildSpawn(const ChildSpawn&) = delete;
  ChildSpawn& operator=(const ChildSpawn&) = delete;
  ~ChildSpawn();
  pid_t pid() const { return pid_; }
  bool inCgroup() const { return inCgroup_; }

 private:
  void spawn(const ChildPlan& plan, int cgroupDir);
  void* stack_ = nullptr;  // the mapping the shared-memory child runs on
  pid_t pid_ = -1;
  bool inCgroup_ = false;
};

// The cancels sent on to the job: those that came before its start wait
// for it; the first SIGTERM sets the moment the whole job is killed.
struct JobRelay {
  uint32_t held;   // bit per kCancelSignals entry, not yet sent on
  int64_t killAt;  // monotonic milliseconds; -1: no SIGTERM yet
  bool killed;     // the grace has run out and the job was killed
  bool started;    // the command has replaced the child: cancels go on at once
};

// One job while dorq watches it: what the audit lines and the relay need.
struct JobRun {
  const AuditRequest* request;
  pid_t child;
  int flags;
  timespec spawned;   // monotonic
  JobCgroup* cgroup;  // its directory invalid when the job has none
  const JobIdentity* identity;
  JobRelay relay;
};

// Waits until the command has replaced the child (true) or the child has
// failed before (false, *report filled), watching the caller meanwhile when
// not in blocking mode: a caller that goes away ends dorq with 0 after the
// child was killed. Reads the job pipe's read end to its end. Cancels that
// arrive meanwhile are held for the job.
bool sdorqAwaitStart(JobRun& run, int pipeRead, StartReport* report);
// Waits for the child to end, sending cancels on to it; returns 0
// (*exitStatus set), 11 or 12, and writes the audit line of the end when the
// job had started.
DorqStatus sdorqAwaitEnd(JobRun& run, bool started, int* exitStatus);
// How long a job may run on after a SIGTERM was sent on to it before its
// whole cgroup (without one: its process group) is killed.
inline constexpr int64_t kTermGraceMilliseconds = 5000;
// At start: takes a pidfd of the caller (see sdorqWatchCaller).
void sdorqOpenCallerWatch();

// The kill request, with the system's error number of a failure.
DorqStatus sdorqKill(const char* pidText, const char* user, AuditOutcome* outcome);
// Sends signal to target (a pid, or a process group as a negative number)
// from a short-lived child that takes the user's identity, so that it
// reaches only what the user may signal; dorq's own process never takes it.
// Waits for the child at most kSignalChildMilliseconds; with
// endOnCancel a cancel of the run ends the wait at once. 0 when sent, else
// the system's error number (ETIMEDOUT, ECANCELED, EINTR: something else
// ended the sender), or kSignalIdentityNotTaken.
int sdorqSignalAsUser(const JobIdentity& identity, pid_t target, int signal, bool endOnCancel);
inline constexpr int kSignalIdentityNotTaken = -1;
inline constexpr int kSignalChildMilliseconds = 5000;

#endif  // DORQ_APP_JOB_SDORQ_EXEC_H
