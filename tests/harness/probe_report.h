// The job probe (dorq_job_probe, tests/harness/job_probe.cpp) from the test's
// side: where the binaries are, how to build the probe's arguments, and how
// to read the report it writes. The report format is described at the top of
// job_probe.cpp.
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

// Absolute path of the built job probe.
const char* jobProbePath();
// Absolute path of the built dorq program; nullptr when the build has none.
const char* dorqBinaryPath();

// What the probe should do; probeArgs turns it into the words after argv[0].
// Every member has a default, so designated initializers can name any subset:
// probeArgs({.out = "hi", .exitCode = 3}).
struct ProbeOptions {
  std::string report = "-";             // report file, "-" for standard output
  std::vector<std::string> envNames{};  // report only these entries; empty: all
  bool readStdin = true;
  bool awaitOrphan = false;  // report only once the parent pid is 1
  std::string out{};         // raw bytes written to standard output after the report
  std::string err{};         // raw bytes written to standard error after that
  int sleepSeconds = 0;
  bool pause = false;  // wait for a signal forever
  int signal = 0;      // end through this signal
  int exitCode = 0;
};
std::vector<std::string> probeArgs(const ProbeOptions& options);

// The probe's escaped form: printable ASCII as is except '\\' -> "\\\\",
// every other byte "\\xHH". Such text passes through any argument vector and
// any line of dorq's request record.
std::string probeEscape(std::string_view bytes);
std::string probeUnescape(std::string_view text);

// A parsed report; values are already unescaped.
class ProbeReport {
 public:
  static ProbeReport parse(std::string_view text);

  // The last line was "end=1".
  bool complete() const { return complete_; }
  bool has(std::string_view key) const;
  // The first value of `key`, "" when absent.
  std::string value(std::string_view key) const;
  // Every value of `key`, in order (for "env").
  std::vector<std::string> values(std::string_view key) const;
  // The value as a number; `fallback` when absent or not a number.
  long long number(std::string_view key, long long fallback = -1) const;

  std::vector<std::string> argv() const;
  // fd number -> link target, as the probe saw them at its start.
  std::map<int, std::string> fds() const;
  std::vector<gid_t> groups() const;
  // NAME -> VALUE of the reported environment entries.
  std::map<std::string, std::string> env() const;
  // Bytes read from standard input; nullopt when reading failed or was skipped.
  std::optional<std::string> stdinBytes() const;
  std::set<int> blockedSignals() const;
  std::set<int> ignoredSignals() const;
  // Every key=value pair, in order, for failure messages.
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  bool complete_ = false;
};

// Reads and parses the report file; nullopt when it is missing or incomplete.
std::optional<ProbeReport> readProbeReport(const std::string& path);

// Signal numbers set in a hex mask of /proc/<pid>/status (bit n-1 is signal n).
std::set<int> signalsInMask(std::string_view hexMask);

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_PROBE_REPORT_H
