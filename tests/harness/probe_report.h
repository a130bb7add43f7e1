// The job probe (dorq_job_probe, job_probe.cpp) from the test's side: where
// the binaries are, and the probe's report.
#ifndef DORQ_TESTS_HARNESS_PROBE_REPORT_H
#define DORQ_TESTS_HARNESS_PROBE_REPORT_H

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dorq_test {

const char* jobProbePath();
// Absolute path of the built dorq program; nullptr when the build has none.
const char* dorqBinaryPath();

// A parsed report ("key=value" lines, values unescaped).
class ProbeReport {
 public:
  static ProbeReport parse(std::string_view text);

  // The first value of `key`, "" when absent; every value of it.
  std::string value(std::string_view key) const;
  std::vector<std::string> values(std::string_view key) const;
  // The value as a number; -1 when absent or not a number.
  long long number(std::string_view key) const;

  std::map<int, std::string> fds() const;  // number -> link target, at the probe's start
  std::vector<gid_t> groups() const;       // sorted
  std::map<std::string, std::string> env() const;
  std::set<int> signals(std::string_view key) const;  // of "sigblk" or "sigign"

  std::vector<std::pair<std::string, std::string>> entries;
};

// Reads and parses the report file; nullopt when it is missing or incomplete.
std::optional<ProbeReport> readProbeReport(const std::string& path);

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_PROBE_REPORT_H
