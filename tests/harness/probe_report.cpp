#include "tests/harness/probe_report.h"

#include <stdlib.h>

#include <algorithm>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace dorq_test {

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

ProbeReport ProbeReport::parse(std::string_view text) {
  ProbeReport report;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    // Values are escaped: "\\" for a backslash, "\xHH" for other bytes.
    std::string value;
    for (size_t i = equals + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'x' && i + 3 < line.size()) {
        value += static_cast<char>(strtol(line.substr(i + 2, 2).c_str(), nullptr, 16));
        i += 3;
      } else {
        value += line[i];
        i += line[i] == '\\' ? 1 : 0;
      }
    }
    report.entries.emplace_back(line.substr(0, equals), value);
  }
  return report;
}

std::string ProbeReport::value(std::string_view key) const {
  const std::vector<std::string> all = values(key);
  return all.empty() ? std::string() : all.front();
}

std::vector<std::string> ProbeReport::values(std::string_view key) const {
  std::vector<std::string> found;
  for (const auto& [k, v] : entries) {
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
  for (const auto& [k, v] : entries) {
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
  std::sort(found.begin(), found.end());
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

// A hex mask of /proc/<pid>/status: bit n-1 is signal n.
std::set<int> ProbeReport::signals(std::string_view key) const {
  std::set<int> found;
  const unsigned long long mask = strtoull(value(key).c_str(), nullptr, 16);
  for (int sig = 1; sig <= 64; ++sig) {
    if ((mask >> (sig - 1) & 1) != 0) {
      found.insert(sig);
    }
  }
  return found;
}

std::optional<ProbeReport> readProbeReport(const std::string& path) {
  ProbeReport report = ProbeReport::parse(readFile(path));
  const bool complete = !report.entries.empty() && report.entries.back().first == "end";
  return complete ? std::optional<ProbeReport>(report) : std::nullopt;
}

}  // namespace dorq_test
