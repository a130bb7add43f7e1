#include "tests/harness/probe_report.h"

#include <stdlib.h>

#include <sstream>

#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

// Signal numbers set in a hex mask of /proc/<pid>/status (bit n-1 is signal n).
std::set<int> signalsInMask(const std::string& hexMask) {
  std::set<int> signals;
  const unsigned long long mask = strtoull(hexMask.c_str(), nullptr, 16);
  for (int sig = 1; sig <= 64; ++sig) {
    if ((mask >> (sig - 1) & 1) != 0) {
      signals.insert(sig);
    }
  }
  return signals;
}

}  // namespace

const char* jobProbePath() {
  return DORQ_JOB_PROBE;
}

const char* dorqBinaryPath() {
#ifdef DORQ_BINARY
  return DORQ_BINARY;
#else
  return nullptr;
#endif
}

std::vector<std::string> probeArgs(const ProbeOptions& options) {
  std::vector<std::string> args{options.report};
  if (!options.readStdin) {
    args.emplace_back("--no-stdin");
  }
  if (options.signal != 0) {
    args.insert(args.end(), {"--signal", std::to_string(options.signal)});
  }
  if (options.exitCode != 0) {
    args.insert(args.end(), {"--exit", std::to_string(options.exitCode)});
  }
  return args;
}

ProbeReport ProbeReport::parse(std::string_view text) {
  ProbeReport report;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    // Values are escaped: "\\" for a backslash, "\xHH" for other bytes.
    std::string value;
    for (size_t i = equals + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'x' && i + 3 < line.size()) {
        value += static_cast<char>(strtol(std::string(line.substr(i + 2, 2)).c_str(), nullptr, 16));
        i += 3;
      } else {
        value += line[i];
        i += line[i] == '\\' ? 1 : 0;
      }
    }
    report.entries_.emplace_back(line.substr(0, equals), value);
  }
  report.complete_ = !report.entries_.empty() && report.entries_.back().first == "end";
  return report;
}

std::string ProbeReport::value(std::string_view key) const {
  const std::vector<std::string> all = values(key);
  return all.empty() ? std::string() : all.front();
}

std::vector<std::string> ProbeReport::values(std::string_view key) const {
  std::vector<std::string> found;
  for (const auto& [k, v] : entries_) {
    if (k == key) {
      found.push_back(v);
    }
  }
  return found;
}

long long ProbeReport::number(std::string_view key) const {
  const std::string text = value(key);
  char* end = nullptr;
  const long long n = strtoll(text.c_str(), &end, 10);
  return text.empty() || *end != '\0' ? -1 : n;
}

std::map<int, std::string> ProbeReport::fds() const {
  std::map<int, std::string> found;
  for (const auto& [k, v] : entries_) {
    if (k.rfind("fd.", 0) == 0) {
      found[atoi(k.c_str() + 3)] = v;
    }
  }
  return found;
}

std::vector<gid_t> ProbeReport::groups() const {
  std::vector<gid_t> found;
  std::istringstream list(value("groups"));
  for (std::string gid; std::getline(list, gid, ',');) {
    found.push_back(static_cast<gid_t>(std::stoul(gid)));
  }
  return found;
}

std::map<std::string, std::string> ProbeReport::env() const {
  std::map<std::string, std::string> found;
  for (const std::string& entry : values("env")) {
    const size_t equals = entry.find('=');
    found[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
  }
  return found;
}

std::optional<std::string> ProbeReport::stdinBytes() const {
  const std::vector<std::string> in = values("stdin");
  return in.empty() ? std::nullopt : std::optional<std::string>(in.front());
}

std::set<int> ProbeReport::blockedSignals() const {
  return signalsInMask(value("sigblk"));
}

std::set<int> ProbeReport::ignoredSignals() const {
  return signalsInMask(value("sigign"));
}

std::optional<ProbeReport> readProbeReport(const std::string& path) {
  ProbeReport report = ProbeReport::parse(readFile(path));
  return report.complete() ? std::optional<ProbeReport>(report) : std::nullopt;
}

}  // namespace dorq_test
