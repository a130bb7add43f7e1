// What dorq loads, from the loader's own reports on the plain (not
// set-user-ID) copy, started by root: a set-user-ID start ignores LD_DEBUG.
#include <stdio.h>

#include <sstream>

#include "bench/bench_steps.h"
#include "bench/bench_process.h"

namespace dorq_bench {
namespace {

const std::vector<std::string> kTrueJob = {"/bin/true"};
// The loader's statistics lines worth showing.
constexpr const char* kStatisticsKeys[] = {"total startup time", "time needed for relocation",
                                           "number of relocations", "relative relocations",
                                           "time needed to load objects"};

ProcessResult runAsRoot(const std::string& binary, const std::vector<std::string>& args,
                        const std::vector<std::string>& extraEnv, const std::string& input) {
  ProcessSpec spec = specFor(binary, args);
  spec.env.insert(spec.env.end(), extraEnv.begin(), extraEnv.end());
  spec.stdinBytes = input;
  return runProcess(spec);
}

// Lines of the loader's output that come from pid itself (not from the job,
// which inherits LD_DEBUG), with the pid prefix removed.
std::vector<std::string> linesOf(const std::string& err, pid_t pid) {
  std::vector<std::string> lines;
  std::istringstream in(err);
  const std::string prefix = std::to_string(pid) + ":";
  for (std::string line; std::getline(in, line);) {
    const size_t start = line.find_first_not_of(' ');
    if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) {
      lines.push_back(line.substr(start + prefix.size()));
    }
  }
  return lines;
}

void printStatistics(const char* name, const std::string& binary) {
  const ProcessResult result = runAsRoot(binary, {}, {"LD_DEBUG=statistics"}, "");
  printf("  %s:\n", name);
  for (const std::string& line : linesOf(result.err, result.pid)) {
    for (const char* key : kStatisticsKeys) {
      if (line.find(key) != std::string::npos) {
        printf("    %s\n", line.c_str() + line.find_first_not_of(" \t"));
        break;
      }
    }
  }
}

void printInitialised(BenchSystem& system, const char* name, const Row& row) {
  system.apply(row.services);
  const ProcessResult result =
      runAsRoot(system.paths().dorqPlain, {}, {"LD_DEBUG=libs"}, row.spec.stdinBytes);
  constexpr std::string_view kInit = "calling init: ";
  printf("  objects initialised during a %s request (exit: %s):\n", name,
         result.exitedWith(0) ? "0" : describe(result).c_str());
  for (const std::string& line : linesOf(result.err, result.pid)) {
    const size_t at = line.find(kInit);
    if (at != std::string::npos) {
      printf("    %s\n", line.c_str() + at + kInit.size());
    }
  }
}

}  // namespace

void reportLoads(BenchSystem& system) {
  const ProcessResult ldd = runAsRoot("/usr/bin/ldd", {system.paths().dorqPlain}, {}, "");
  printf("ldd %s:\n%s", system.paths().dorqPlain.c_str(), ldd.out.c_str());
  printf("LD_DEBUG=statistics (plain copies started by root, empty request):\n");
  printStatistics("dorq", system.paths().dorqPlain);
  printStatistics("do-nothing C program", system.paths().nullPlain);
  for (const Row& row : jobRows(system, kTrueJob)) {
    if (row.id == RowId::DorqPolling) {
      printInitialised(system, "pam_permit", row);
    } else if (row.id == RowId::DorqUnix) {
      printInitialised(system, "pam_unix", row);
    }
  }
}

}  // namespace dorq_bench
