// Process-level test harness: starts a program exactly the way a test needs
// it started and captures everything it reports through the process boundary.
// The child, after the fork, only makes system calls: its own process group,
// signals, working directory, descriptors (the planned ones at their numbers,
// no other), setgroups/setgid/setuid, the hook, execve; a failing step shows
// as startError ("setuid: Operation not permitted"). Input is written and
// both outputs are read while wait() runs (at start, what a pipe takes).
//
// ParentKind::CallerInPidNamespace starts the program through a "caller" (a
// stand-in for the scheduler) in a new PID namespace whose init reaps every
// process there and lists each in `reaped`. killCaller() (and wait()) end the
// caller, so the program is orphaned and sees getppid() == 1 whatever the
// host's subreapers. Pids of such a run are those inside the namespace.
// At spec.timeout the program and its process group (or its namespace) are
// killed, the outputs are no longer read, and timedOut is set.
#ifndef DORQ_TESTS_HARNESS_RUN_PROCESS_H
#define DORQ_TESTS_HARNESS_RUN_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/harness/probe_report.h"

namespace dorq_test {

// Both in the same order: a pipe of the harness, /dev/null, closed.
enum class StdinSource { Bytes, DevNull, Closed };
enum class OutputSink { Capture, DevNull, Closed };
enum class ParentKind { Harness, CallerInPidNamespace };

struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups{};  // supplementary groups; empty: none
};

// A descriptor of the test (kept open and owned by it) that the program
// inherits as `number`; 0 to 2 take the place of that standard stream.
struct InheritedFd {
  int number = -1;
  int source = -1;
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
  std::vector<int> ignoredSignals{};   // SIG_IGN; every other signal is SIG_DFL
  std::vector<int> blockedSignals{};   // the signal mask
  std::string cwd{};                   // empty: the test's working directory
  std::function<void()> beforeExec{};  // async-signal-safe calls only
  ParentKind parent = ParentKind::Harness;
  std::chrono::milliseconds timeout{20000};
};

ProcessSpec specFor(const std::string& binary, const std::vector<std::string>& args = {});

struct ReapedProcess {
  pid_t nsPid = -1;  // pid inside the namespace
  int status = 0;    // as waitpid gives it
};

struct ProcessResult {
  std::string startError;  // empty when the program was started
  pid_t pid = -1;
  bool statusKnown = false;
  bool exited = false;
  int exitCode = -1;
  bool signaled = false;
  int termSignal = 0;
  bool timedOut = false;
  std::string out;
  std::string err;
  std::vector<ReapedProcess> reaped;  // PID namespace only, in the order reaped

  bool started() const { return startError.empty(); }
  bool exitedWith(int code) const { return statusKnown && exited && exitCode == code; }
  bool killedBy(int sig) const { return statusKnown && signaled && termSignal == sig; }
};

// How it ended and both outputs: EXPECT_TRUE(r.exitedWith(0)) << describe(r);
std::string describe(const ProcessResult& result);

// A started program that runs while the test goes on.
class Process {
 public:
  Process();
  ~Process();  // kills and reaps whatever still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Returns once the exec has happened (true) or failed (startError).
  bool start(const ProcessSpec& spec);
  const std::string& startError() const;
  pid_t pid() const;
  // Ends the caller (PID namespace only) and returns once it is gone.
  bool killCaller();
  // Waits for the end of the program and of its output, or the timeout.
  ProcessResult wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

ProcessResult runProcess(const ProcessSpec& spec);

// Polls `condition` every 5 ms until it holds (true) or `timeout` passes.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// dorq's report channels: the frame a failed run leaves on standard error.
std::string statusFrame(int code);
// Bytes made readable for failure messages: printable ASCII as is, else \xHH.
std::string printable(std::string_view bytes);

// What /proc shows of every process, for "nothing left behind" checks.
struct ProcessEntry {
  pid_t pid = -1;
  pid_t ppid = -1;
  pid_t pgid = -1;
  uid_t ruid = 0;
  uid_t euid = 0;
  char state = '?';  // R, S, Z (zombie), ...
};
std::vector<ProcessEntry> listProcesses();
// The open descriptors of this process (without the one reading the list).
std::vector<int> openFdNumbers();

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_RUN_PROCESS_H
