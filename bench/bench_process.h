// The benchmark's runner for checks and one-off runs (not for timed
// launches, see bench_launch.h): starts a program exactly as asked and
// captures everything it reports through the process boundary. The child,
// after the fork, only makes system calls: its own process group, signals,
// working directory, descriptors (the planned ones at their numbers, no
// other), setgroups/setgid/setuid, the hook, execve; a failing step shows as
// startError ("setuid: Operation not permitted"). Input is written and both
// outputs are read while wait() runs (at start, what a pipe takes). At
// spec.timeout the program and its process group are killed, the outputs are
// no longer read, and timedOut is set.
#ifndef DORQ_BENCH_BENCH_PROCESS_H
#define DORQ_BENCH_BENCH_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorq_bench {

// Both in the same order: a pipe of the runner, /dev/null, closed.
enum class StdinSource { Bytes, DevNull, Closed };
enum class OutputSink { Capture, DevNull, Closed };

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
  std::chrono::milliseconds timeout{20000};
};

ProcessSpec specFor(const std::string& binary, const std::vector<std::string>& args = {});

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
  // Waits for the end of the program and of its output, or the timeout.
  ProcessResult wait();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

ProcessResult runProcess(const ProcessSpec& spec);

// Bytes made readable for messages: printable ASCII as is, else \xHH.
std::string printable(std::string_view bytes);

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_PROCESS_H
