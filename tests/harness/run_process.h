// Process-level test harness: starts a program (dorq, the job probe, anything
// in /bin) exactly the way a test needs it started, and captures everything it
// reports through the process boundary.
//
// WHAT IT DOES
//   A ProcessSpec says what to run and how: the binary, the whole argument
//   vector (argv[0] included; an empty vector is an exec with argc 0), the
//   whole environment (default: only PATH=/usr/bin:/bin), standard input
//   (bytes fed through a pipe, /dev/null, or closed), standard output and
//   error (captured separately through pipes, /dev/null, or closed),
//   descriptors inherited at chosen numbers, the user, group and supplementary
//   groups, ignored and blocked signals, resource limits, umask, working
//   directory, and a hook run in the child just before the exec.
//   The result holds the exit code or the terminating signal, every byte of
//   standard output and of standard error (binary safe), the wall time, and
//   whether the timeout struck.
//
// HOW THE CHILD IS PREPARED
//   Everything is built before the fork (argument and environment arrays,
//   descriptor plan, signal mask). The child then only makes system calls, in
//   this order: own process group (setpgid, unless ownProcessGroup is false),
//   every signal back to its default action, the ignored signals, the signal
//   mask, umask, working directory, descriptors (the planned ones are placed
//   at their numbers, EVERY other descriptor is closed), resource limits
//   (so RLIMIT_NOFILE 4 leaves exactly 0, 1 and 2 usable), then setgroups,
//   setgid, setuid, then the hook, then execve. A failing step is
//   reported back through a close-on-exec pipe and shows as startError
//   ("setuid: Operation not permitted"); the program never ran then.
//   The hook runs in a forked copy of a possibly multi-threaded process: it
//   may only make async-signal-safe calls (open, write, close, ...) on data
//   prepared before start(). Use it, for instance, to join a cgroup by writing
//   "0" to <cgroup>/cgroup.procs.
//
// STANDARD INPUT
//   stdinBytes is written by a pump thread through a non-blocking pipe, while
//   standard output and error are read, so a 131069-byte line cannot
//   deadlock. The pipe is closed once every byte is written; a program that
//   stops reading early just leaves the rest unwritten (no SIGPIPE reaches the
//   test).
//
// PARENTS AND ORPHANS
//   spec.parent chooses who the program's parent is:
//   - ParentKind::Harness: the test process itself.
//   - ParentKind::Caller: an intermediate "caller" process (a stand-in for the
//     scheduler) forks the program and waits for it. killCaller() kills that
//     caller, so the program is orphaned and reparented to the nearest
//     subreaper, or else to init. The test process must therefore NOT be a
//     subreaper (prctl PR_SET_CHILD_SUBREAPER): the program would become its
//     child and never see getppid() == 1. An ancestor of the test that is a
//     subreaper (a container's init run with -s, a service manager) has the
//     same effect; ParentKind::CallerInPidNamespace does not depend on it.
//     Once orphaned, the program's exit status reaches init, not the test:
//     the result then has statusKnown == false (the end of the program is
//     still seen, through a pidfd). When the caller is not killed it reaps
//     the program and hands its status over.
//   - ParentKind::CallerInPidNamespace: as Caller, but inside a new PID
//     namespace whose init is a small reaper of the harness's own. An orphan
//     is reparented to that init, sees getppid() == 1 whatever the host's
//     subreapers, and its exit status is known. The init reaps every process
//     of the namespace and the result lists them all in `reaped` (pids as
//     seen inside the namespace: the program, its job, the caller). The
//     program reports pids of that namespace (getpid, getppid, the child pid
//     record); Process::pid() and callerPid() are the test's view of the same
//     processes. Ending the init (timeout, destructor) ends the namespace and
//     everything in it. Needs CAP_SYS_ADMIN (root).
//
// TIMEOUT
//   spec.timeout bounds start() and wait() together. When it strikes, the
//   program, its process group, its caller and every process still holding
//   its output pipes get SIGKILL (in a PID namespace: its init), and the
//   result has timedOut == true. wait() also waits for the end of output, so
//   a descendant that keeps the output open is a timeout too: nothing is left
//   running behind a finished test.
//
// LINUX 5.18 AND LATER
//   An execve with an empty argument vector is given one empty string by the
//   kernel: the program sees argc 1 and argv[0] "" instead of argc 0.
//
// EXAMPLE
//   using namespace dorq_test;
//   ProcessSpec spec = specFor(jobProbePath(), probeArgs({.out = "hi", .exitCode = 3}));
//   spec.stdinBytes = "alice\nsecret\n2\n";
//   ProcessResult r = runProcess(spec);
//   ASSERT_TRUE(r.started()) << r.startError;
//   EXPECT_TRUE(r.exitedWith(3)) << describe(r);
//   ProbeReport report = ProbeReport::parse(r.out);   // the report went to stdout
//   EXPECT_EQ(report.stdinBytes(), "alice\nsecret\n2\n");
//
//   // A failed dorq run: one frame, the last thing on standard error.
//   TrailingFrame frame = trailingStatusFrame(r.err);
//   EXPECT_TRUE(frame.ok) << frame.problem;
//   EXPECT_EQ(frame.code, 7);
//   EXPECT_EQ(statusWordBytes(r.out), (std::vector<int>{7}));
//
//   // In the background, orphaned while it runs:
//   spec.parent = ParentKind::CallerInPidNamespace;
//   Process p;
//   ASSERT_TRUE(p.start(spec)) << p.startError();
//   ASSERT_TRUE(waitFor([&] { return p.outSoFar().size() >= 1; }));  // a status word arrived
//   p.killCaller();
//   ProcessResult orphaned = p.wait();   // orphaned.exitCode is what init saw
//
// NOTHING LEFT BEHIND
//   After a run: zombieChildrenOf(getpid()) is empty when every run was
//   waited for; openFds() before and after shows descriptor leaks of the test
//   process; processesOfUid(uid) and descendantsOf(pid) find processes a job
//   left running. The probe's "fd.<n>" lines show what a job inherited.
//
// SEE ALSO
//   dorq_channels.h  the status frame on standard error, status words on standard output
//   probe_report.h   the job probe: its path, its arguments, its report
//   proc_scan.h      open descriptors, children, zombies, processes of a user
#ifndef DORQ_TESTS_HARNESS_RUN_PROCESS_H
#define DORQ_TESTS_HARNESS_RUN_PROCESS_H

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/dorq_channels.h"
#include "tests/harness/probe_report.h"
#include "tests/harness/proc_scan.h"

namespace dorq_test {

enum class StdinSource { Bytes, DevNull, Closed };
enum class OutputSink { Capture, DevNull, Closed };
enum class ParentKind { Harness, Caller, CallerInPidNamespace };

// The identity the child takes before the exec.
struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups{};  // supplementary groups; empty: none
};

// A descriptor of the test process that the program inherits as `number`.
// The test keeps `source` open and owns it. A number 0 to 2 takes the place of
// that standard stream.
struct InheritedFd {
  int number = -1;
  int source = -1;
};

struct ResourceLimit {
  int resource = 0;  // RLIMIT_*
  rlim_t soft = 0;
  rlim_t hard = 0;
};

struct ProcessSpec {
  std::string binary{};             // path given to execve (no search)
  std::vector<std::string> argv{};  // argv[0] included; empty: argc 0
  std::vector<std::string> env{"PATH=/usr/bin:/bin"};
  StdinSource stdinSource = StdinSource::Bytes;
  std::string stdinBytes{};
  OutputSink stdoutSink = OutputSink::Capture;
  OutputSink stderrSink = OutputSink::Capture;
  std::vector<InheritedFd> inherited{};
  std::optional<Identity> identity{};
  std::vector<int> ignoredSignals{};  // set to SIG_IGN; every other signal is SIG_DFL
  std::vector<int> blockedSignals{};  // the signal mask; empty: nothing blocked
  std::vector<ResourceLimit> limits{};
  std::optional<mode_t> umask{};
  std::string cwd{};  // empty: the test's working directory
  bool ownProcessGroup = true;
  std::function<void()> beforeExec{};  // async-signal-safe calls only
  ParentKind parent = ParentKind::Harness;
  std::chrono::milliseconds timeout{20000};
};

// A spec for `binary` with argv[0] = binary followed by `args`.
ProcessSpec specFor(const std::string& binary, const std::vector<std::string>& args = {});

// A process reaped by the init of a PID namespace (ParentKind::CallerInPidNamespace).
struct ReapedProcess {
  pid_t nsPid = -1;  // its pid inside the namespace
  int status = 0;    // as waitpid gives it
};

struct ProcessResult {
  std::string startError;  // empty when the program was started
  pid_t pid = -1;          // the program, as the test sees it
  bool statusKnown = false;
  bool exited = false;
  int exitCode = -1;
  bool signaled = false;
  int termSignal = 0;
  bool timedOut = false;
  std::string out;
  std::string err;
  std::chrono::nanoseconds wallTime{0};  // from the fork to the end of the program
  std::vector<ReapedProcess> reaped;     // PID namespace only, in the order reaped

  bool started() const { return startError.empty(); }
  bool exitedWith(int code) const { return statusKnown && exited && exitCode == code; }
  bool killedBy(int sig) const { return statusKnown && signaled && termSignal == sig; }
  // The reaped entry of a namespace pid; nullopt when it was not reaped.
  std::optional<int> reapedStatus(pid_t nsPid) const;
};

// "exited 3", "killed by signal 9 (timeout)", ... with both outputs, for
// failure messages: EXPECT_TRUE(r.exitedWith(0)) << describe(r);
std::string describe(const ProcessResult& result);

// A started program that runs while the test goes on.
class Process {
 public:
  Process();
  ~Process();  // kills and reaps whatever still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts the program; false (see startError) when it could not be started.
  // Returns once the exec has happened or failed. One start per object.
  bool start(const ProcessSpec& spec);
  const std::string& startError() const;

  // The program's pid as the test sees it; -1 when not started (or, in a PID
  // namespace, when it ended before it could be looked up).
  pid_t pid() const;
  // The program's pid inside its PID namespace (pid() outside of one).
  pid_t nsPid() const;
  // The caller process, -1 with ParentKind::Harness.
  pid_t callerPid() const;

  // Sends `sig` to the program (through a pidfd: never to a reused pid).
  bool signal(int sig);
  // Sends `sig` to the program's process group.
  bool signalGroup(int sig);
  // Ends the caller with `sig` (a signal whose default action ends a
  // process), so that the program is orphaned. Returns once the caller is gone.
  bool killCaller(int sig = SIGKILL);

  // Output captured so far (safe while the program runs).
  std::string outSoFar() const;
  std::string errSoFar() const;

  // Waits for the end of the program and of its output, or the timeout.
  // Call it once; a second call returns the same result.
  ProcessResult wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// start() and wait() in one; a start failure is in startError.
ProcessResult runProcess(const ProcessSpec& spec);

// Polls `condition` every 5 ms until it holds (true) or `timeout` passes (false).
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_RUN_PROCESS_H
