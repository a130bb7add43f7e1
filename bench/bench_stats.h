// Order statistics of a set of timings.
#ifndef DORQ_BENCH_BENCH_STATS_H
#define DORQ_BENCH_BENCH_STATS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace dorq_bench {

struct Summary {
  int64_t median = 0;
  int64_t p90 = 0;
  int64_t min = 0;
  int64_t max = 0;
  size_t count = 0;
};

// Nearest-rank statistics: the median is the middle sample (the mean of the
// two middle ones for an even count), p90 the sample at rank ceil(0.9 n).
Summary summarize(std::vector<int64_t> samples);

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_STATS_H
