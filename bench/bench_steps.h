// The steps of a benchmark run besides the timing loop: checking every row
// once through the checking runner, the peak resident memory of the programs,
// and what dorq loads.
#ifndef DORQ_BENCH_BENCH_STEPS_H
#define DORQ_BENCH_BENCH_STEPS_H

#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_system.h"

namespace dorq_bench {

// Runs every row once through the checking runner: job rows with /usr/bin/id
// as the command must print the job user's full identity (user, group and
// both supplementary groups) and exit 0; the other rows must exit as
// expected. Also checks that the job user's hash is yescrypt and that the
// PAM check alone refuses a wrong password. Throws std::runtime_error naming
// the row that failed.
void checkRows(BenchSystem& system);

struct PeakMemory {
  std::string label;
  long vmHwmKib = -1;  // the program's own peak (VmHWM), read while its job runs
};

// The peak resident memory of the programs that stay alive while their job
// runs (dorq, runuser, sudo), each measured `repeats` times with a job that
// sleeps; the largest reading of each.
std::vector<PeakMemory> measurePeakMemory(BenchSystem& system, int repeats);

// What dorq loads: ldd of the plain copy, the loader's statistics for dorq
// and for the do-nothing program, and the objects dorq initialises during a
// whole pam_permit and pam_unix request. Printed to standard output.
void reportLoads(BenchSystem& system);

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_STEPS_H
