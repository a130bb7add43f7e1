// The rows of the benchmark: how each program is started, by whom, with which
// PAM services in place, and what it must exit with.
#ifndef DORQ_BENCH_BENCH_ROWS_H
#define DORQ_BENCH_BENCH_ROWS_H

#include <string>
#include <vector>

#include "bench/bench_launch.h"
#include "bench/bench_system.h"

namespace dorq_bench {

enum class RowId {
  Setpriv,        // root: setpriv --reuid --regid --init-groups, no PAM
  DorqBlocking,   // scheduler: dorq, pam_permit, flags 4
  DorqPolling,    // scheduler: dorq, pam_permit, flags 0
  DorqUnix,       // scheduler: dorq, pam_unix with a yescrypt hash, flags 0
  RunuserPermit,  // root: runuser -u, every PAM step pam_permit
  SudoPermit,     // scheduler: sudo -u, every PAM step pam_permit
  RunuserHost,    // root: runuser -u, the distribution's PAM text
  SudoHost,       // scheduler: sudo -u, the distribution's PAM text
  PamAlone,       // root: the PAM check alone (pam_unix, yescrypt) in a process
  NullStart,      // scheduler: a do-nothing C program, set-user-ID like dorq
  DorqStart,      // scheduler: dorq with an empty request (ends with status 3)
  // The same dorq rows for a second build given with --alt-dorq, to measure a
  // proposed change against the current program in one run.
  AltPolling,
  AltBlocking,
  AltUnix,
  AltStart,
};

struct Row {
  RowId id;
  std::string key;        // short name for logs
  std::string label;      // the table's text
  std::string startedBy;  // "root" or the scheduler user's name
  LaunchSpec spec{};
  ServiceSet services{};
  int expectedExit = 0;
  bool runsJob = false;  // the command given to jobRows runs as the job user
};

// dorq's request record for the job user (with the real password).
std::string jobRequest(int flags, const std::vector<std::string>& job);

// The rows that run `job` (path and arguments) as the job user.
std::vector<Row> jobRows(const BenchSystem& system, const std::vector<std::string>& job);
// The rows without a job: the PAM check alone and the two start-cost rows.
std::vector<Row> otherRows(const BenchSystem& system);

// dorq's flags words used here.
inline constexpr int kFlagsPolling = 0;
inline constexpr int kFlagsBlocking = 4;
// The service the PAM check alone uses: the same text as dorq's pam_unix row.
inline constexpr char kPamCheckService[] = "dorq-bench-check";
// dorq's status for a request record that ends before its first line.
inline constexpr int kStatusInputEnded = 3;

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_ROWS_H
