#include "bench/bench_stats.h"

#include <algorithm>

namespace dorq_bench {

Summary summarize(std::vector<int64_t> samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty()) {
    return summary;
  }
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  summary.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  const size_t rank = (9 * n + 9) / 10;  // ceil(0.9 n), at least 1
  summary.p90 = samples[rank - 1];
  summary.min = samples.front();
  summary.max = samples.back();
  return summary;
}

}  // namespace dorq_bench
