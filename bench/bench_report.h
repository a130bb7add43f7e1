// Printing the results: the table of launch times, the start cost, the
// throughput, the memory, and each target with its verdict.
#ifndef DORQ_BENCH_BENCH_REPORT_H
#define DORQ_BENCH_BENCH_REPORT_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_stats.h"
#include "bench/bench_steps.h"

namespace dorq_bench {

struct Results {
  std::vector<Row> rows;                       // in table order
  std::map<RowId, Summary> launches;           // fork to reaped exit, per row
  Summary pamInProcess;                        // the PAM transaction alone, inside its process
  long pamCheckHwmKib = -1;                    // peak memory of the PAM-alone process
  std::map<RowId, std::vector<double>> rates;  // pool rounds, requests per second
  int poolTotal = 0;
  int poolWidth = 0;
  std::vector<PeakMemory> memory;
  int runs = 0;
};

void printResults(const Results& results);

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_REPORT_H
