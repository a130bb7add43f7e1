#include "bench/bench_report.h"

#include <stdio.h>

#include <algorithm>

namespace dorq_bench {
namespace {

constexpr double kNsPerMs = 1e6;
constexpr double kKibPerMib = 1024.0;
// The peak resident memory dorq should stay within.
constexpr long kPeakMemoryTargetKib = 4 * 1024;

double ms(int64_t ns) {
  return static_cast<double>(ns) / kNsPerMs;
}

double medianOf(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int64_t medianNs(const Results& results, RowId id) {
  return results.launches.at(id).median;
}

std::string labelOf(const Results& results, RowId id) {
  for (const Row& row : results.rows) {
    if (row.id == id) {
      return row.label;
    }
  }
  return {};
}

void printLaunchTable(const Results& results) {
  const double setpriv = static_cast<double>(medianNs(results, RowId::Setpriv));
  printf("\nEnd-to-end launches of the job, %d runs each, interleaved (ms, fork to reaped exit):\n",
         results.runs);
  printf("  %-46s %-8s %9s %9s %9s %10s\n", "row", "by", "median", "p90", "min", "x setpriv");
  for (const Row& row : results.rows) {
    const Summary& s = results.launches.at(row.id);
    printf("  %-46s %-8s %9.3f %9.3f %9.3f %10.2f\n", row.label.c_str(), row.startedBy.c_str(),
           ms(s.median), ms(s.p90), ms(s.min), static_cast<double>(s.median) / setpriv);
  }
  printf("  %-46s %-8s %9.3f %9.3f %9.3f\n", "PAM transaction alone, inside its process", "root",
         ms(results.pamInProcess.median), ms(results.pamInProcess.p90),
         ms(results.pamInProcess.min));
}

void printStartCost(const Results& results) {
  const int64_t null = medianNs(results, RowId::NullStart);
  const int64_t dorq = medianNs(results, RowId::DorqStart);
  printf("\nStart cost (set-user-ID copies on the tmpfs, started by the scheduler user):\n");
  printf("  do-nothing C program %.3f ms, dorq with an empty request %.3f ms: dorq +%.3f ms\n",
         ms(null), ms(dorq), ms(dorq - null));
}

double rate(const Results& results, RowId id) {
  const auto found = results.rates.find(id);
  return found == results.rates.end() ? 0 : medianOf(found->second);
}

void printThroughput(const Results& results) {
  const double setpriv = rate(results, RowId::Setpriv);
  printf("\nThroughput, %d requests %d at a time (median of %zu rounds, requests/s):\n",
         results.poolTotal, results.poolWidth, results.rates.at(RowId::Setpriv).size());
  for (const Row& row : results.rows) {
    if (results.rates.count(row.id) != 0) {
      printf("  %-46s %8.1f   x setpriv %.2f\n", row.label.c_str(), rate(results, row.id),
             rate(results, row.id) / setpriv);
    }
  }
}

// The second build against the current one, where --alt-dorq gave one.
void printAlternative(const Results& results) {
  if (results.launches.count(RowId::AltPolling) == 0) {
    return;
  }
  printf("\nSecond build against the current one (median ratio alt / current):\n");
  const std::pair<RowId, RowId> pairs[] = {{RowId::AltPolling, RowId::DorqPolling},
                                           {RowId::AltBlocking, RowId::DorqBlocking},
                                           {RowId::AltUnix, RowId::DorqUnix},
                                           {RowId::AltStart, RowId::DorqStart}};
  for (const auto& [alt, current] : pairs) {
    const int64_t a = medianNs(results, alt);
    const int64_t c = medianNs(results, current);
    printf("  %-46s %9.3f ms vs %9.3f ms: %.3f (%+.3f ms)\n", labelOf(results, alt).c_str(), ms(a),
           ms(c), static_cast<double>(a) / static_cast<double>(c), ms(a - c));
  }
  printf("  throughput alt / current: %.3f\n",
         rate(results, RowId::AltPolling) / rate(results, RowId::DorqPolling));
}

void printMemory(const Results& results) {
  printf("\nPeak resident memory (VmHWM while the job runs, largest of the readings):\n");
  for (const PeakMemory& peak : results.memory) {
    printf("  %-46s %7ld KiB (%.2f MiB)\n", peak.label.c_str(), peak.vmHwmKib,
           static_cast<double>(peak.vmHwmKib) / kKibPerMib);
  }
  printf("  %-46s %7ld KiB (%.2f MiB)\n", "PAM check alone, pam_unix yescrypt",
         results.pamCheckHwmKib, static_cast<double>(results.pamCheckHwmKib) / kKibPerMib);
}

void verdict(const char* what, double value, double limit, bool atMost) {
  const bool met = atMost ? value <= limit : value >= limit;
  printf("  [%s] %-58s %8.3f %s %8.3f\n", met ? "met" : "MISSED", what, value,
         atMost ? "<=" : ">=", limit);
}

long memoryOf(const Results& results, const std::string& label) {
  for (const PeakMemory& peak : results.memory) {
    if (peak.label == label) {
      return peak.vmHwmKib;
    }
  }
  return -1;
}

void printTargets(const Results& results) {
  const double polling = ms(medianNs(results, RowId::DorqPolling));
  const double setpriv = ms(medianNs(results, RowId::Setpriv));
  printf("\nTargets (medians of this run, ms unless stated):\n");
  verdict("dorq polling/pam_permit vs 1.5 x setpriv", polling, 1.5 * setpriv, true);
  verdict("dorq polling/pam_permit vs 0.8 x runuser (pam_permit)", polling,
          0.8 * ms(medianNs(results, RowId::RunuserPermit)), true);
  verdict("dorq polling/pam_permit vs 0.5 x sudo (pam_permit)", polling,
          0.5 * ms(medianNs(results, RowId::SudoPermit)), true);
  verdict("dorq polling vs 1.1 x dorq blocking", polling,
          1.1 * ms(medianNs(results, RowId::DorqBlocking)), true);
  verdict("dorq pam_unix vs 1.1 x (PAM check alone + setpriv)",
          ms(medianNs(results, RowId::DorqUnix)), 1.1 * (ms(results.pamInProcess.median) + setpriv),
          true);
  verdict("throughput dorq vs 0.8 x setpriv (requests/s)", rate(results, RowId::DorqPolling),
          0.8 * rate(results, RowId::Setpriv), false);
  verdict("peak memory dorq pam_permit (MiB) vs 4 MiB",
          static_cast<double>(memoryOf(results, labelOf(results, RowId::DorqPolling))) / kKibPerMib,
          static_cast<double>(kPeakMemoryTargetKib) / kKibPerMib, true);
  verdict("peak memory dorq pam_unix yescrypt (MiB) vs 4 MiB",
          static_cast<double>(memoryOf(results, labelOf(results, RowId::DorqUnix))) / kKibPerMib,
          static_cast<double>(kPeakMemoryTargetKib) / kKibPerMib, true);
}

}  // namespace

void printResults(const Results& results) {
  printLaunchTable(results);
  printStartCost(results);
  printThroughput(results);
  printMemory(results);
  printTargets(results);
  printAlternative(results);
}

}  // namespace dorq_bench
