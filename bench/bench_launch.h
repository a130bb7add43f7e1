// The benchmark's own launcher: starts a program the way a scheduler does
// (fork, optional switch to a non-root caller, standard input from a pipe
// that already holds the request, execve) and times it from the fork to the
// reaped exit.
//
// The checking runner (bench_process.h) is built for checking behaviour: a
// poll loop, a set-up report pipe, output capture and timeouts. Each of those
// costs tens of microseconds per run, which would be added to every row here
// and flatten the ratios; this launcher does only what a scheduler must do,
// and every row pays the same for it. The checking runner is still used to
// check each row once before it is timed.
#ifndef DORQ_BENCH_BENCH_LAUNCH_H
#define DORQ_BENCH_BENCH_LAUNCH_H

#include <stdint.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace dorq_bench {

// A non-root caller: the child clears its supplementary groups and takes
// this group and user before the exec.
struct Caller {
  uid_t uid = 0;
  gid_t gid = 0;
};

struct LaunchSpec {
  std::string binary{};             // path given to execve
  std::vector<std::string> argv{};  // argv[0] included
  std::vector<std::string> env{"PATH=/usr/bin:/bin"};
  std::string stdinBytes{};        // written to a pipe before the fork (at most a pipe's buffer)
  std::optional<Caller> caller{};  // empty: the program starts as root
  bool captureStdout = false;      // else standard output goes to /dev/null
};

struct LaunchResult {
  int64_t wallNs = 0;  // fork to reaped exit
  int waitStatus = 0;  // as waitpid gives it
  std::string out;     // standard output when captured
};

// Runs the program once and waits for it. The execve arrays and the input
// pipe are made before the clock starts. Throws std::runtime_error when the
// program cannot be started.
LaunchResult runOnce(const LaunchSpec& spec);

// Starts the program and returns its pid without waiting; standard output
// goes to /dev/null.
pid_t startDetached(const LaunchSpec& spec);

// "exited 3", "killed by signal 9".
std::string describeStatus(int waitStatus);

// Runs `total` launches of `launch`, at most `width` at a time; returns the
// wall time from the first fork to the last reaped exit. Throws when a launch
// does not exit with 0.
int64_t runPool(const LaunchSpec& spec, int total, int width);

// CLOCK_MONOTONIC in nanoseconds.
int64_t nowNs();

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_LAUNCH_H
