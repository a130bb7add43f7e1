// dorq_bench: end-to-end launch times of dorq against setpriv, runuser and
// sudo, in the test sandbox (real users, real PAM services, a set-user-ID
// copy of dorq on a tmpfs), all in one private mount namespace.
//
// Usage (as root; bench/run.sh builds and starts it):
//   dorq_bench [--runs N] [--warmup N] [--pool N] [--width N] [--rounds N]
//              [--dorq PATH] [--alt-dorq PATH]
//   dorq_bench [--pam permit|unix] --exec COMMAND [ARG...]
//
// The first form runs the benchmark and prints its tables. --dorq times
// another build in place of the one built beside the benchmark; --alt-dorq adds the
// dorq rows once more for a second build, interleaved with the others, to
// measure a proposed change under the same conditions. The second sets up
// the same sandbox and runs COMMAND as root inside it, for profilers: the
// environment names the programs (DORQ_SETUID, DORQ_PLAIN, DORQ_NULL_SETUID),
// the scheduler user (DORQ_SCHED_USER) and request files (DORQ_REQUEST_POLLING,
// DORQ_REQUEST_BLOCKING, DORQ_REQUEST_EMPTY); "su" and "dorq" are pam_permit,
// or pam_unix with --pam unix.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_launch.h"
#include "bench/bench_report.h"
#include "bench/bench_rows.h"
#include "bench/bench_stats.h"
#include "bench/bench_steps.h"
#include "bench/bench_system.h"
#include "bench/bench_process.h"

namespace dorq_bench {
namespace {

struct Options {
  int runs = 200;
  int warmup = 10;
  int poolTotal = 200;
  int poolWidth = 8;
  int rounds = 5;
  int memoryRepeats = 3;
  bool unixPam = false;
  std::string dorq = DORQ_BINARY;
  std::string altDorq;
  std::vector<std::string> exec;
};

const std::vector<std::string> kTrueJob = {"/bin/true"};

int positive(const char* text, const char* option) {
  const int value = atoi(text);
  if (value < 1) {
    throw std::runtime_error(std::string(option) + " needs a positive number");
  }
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  const std::map<std::string, int*> numbers = {{"--runs", &options.runs},
                                               {"--warmup", &options.warmup},
                                               {"--pool", &options.poolTotal},
                                               {"--width", &options.poolWidth},
                                               {"--rounds", &options.rounds}};
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (numbers.count(word) != 0 && i + 1 < argc) {
      *numbers.at(word) = positive(argv[i + 1], argv[i]);
      ++i;
    } else if (word == "--dorq" && i + 1 < argc) {
      options.dorq = argv[++i];
    } else if (word == "--alt-dorq" && i + 1 < argc) {
      options.altDorq = argv[++i];
    } else if (word == "--pam" && i + 1 < argc) {
      options.unixPam = std::string(argv[++i]) == "unix";
    } else if (word == "--exec" && i + 1 < argc) {
      options.exec.assign(argv + i + 1, argv + argc);
      break;
    } else {
      throw std::runtime_error("unknown option " + word);
    }
  }
  return options;
}

void printMachine() {
  utsname name{};
  uname(&name);
  double load[3] = {};
  getloadavg(load, 3);
  printf("machine: %s %s, %ld CPUs online, load average %.2f %.2f %.2f\n", name.sysname,
         name.release, sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
}

// One timed launch of a row; throws when it does not end as expected.
LaunchResult timedRun(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  LaunchResult result = runOnce(row.spec);
  if (!WIFEXITED(result.waitStatus) || WEXITSTATUS(result.waitStatus) != row.expectedExit) {
    throw std::runtime_error("row '" + row.key + "' " + describeStatus(result.waitStatus) +
                             ", expected exit " + std::to_string(row.expectedExit));
  }
  return result;
}

// The PAM-alone program's report: nanoseconds, then "hwm=<KiB>".
void readPamReport(const std::string& out, std::vector<int64_t>* transactionNs, long* hwmKib) {
  transactionNs->push_back(strtoll(out.c_str(), nullptr, 10));
  const size_t at = out.find("hwm=");
  if (at != std::string::npos) {
    *hwmKib = std::max(*hwmKib, strtol(out.c_str() + at + 4, nullptr, 10));
  }
}

void timeLaunches(BenchSystem& system, const Options& options, Results* results) {
  std::vector<Row> rows = jobRows(system, kTrueJob);
  for (Row& row : otherRows(system)) {
    rows.push_back(std::move(row));
  }
  for (int i = 0; i < options.warmup; ++i) {
    for (const Row& row : rows) {
      (void)timedRun(system, row);
    }
  }
  std::map<RowId, std::vector<int64_t>> samples;
  std::vector<int64_t> pamNs;
  // Round-robin, starting one row later each round, so that a slow spell of
  // the machine spreads over every row alike.
  for (int round = 0; round < options.runs; ++round) {
    for (size_t k = 0; k < rows.size(); ++k) {
      const Row& row = rows[(static_cast<size_t>(round) + k) % rows.size()];
      const LaunchResult result = timedRun(system, row);
      samples[row.id].push_back(result.wallNs);
      if (row.id == RowId::PamAlone) {
        readPamReport(result.out, &pamNs, &results->pamCheckHwmKib);
      }
    }
  }
  for (const auto& [id, values] : samples) {
    results->launches[id] = summarize(values);
  }
  results->pamInProcess = summarize(pamNs);
  results->rows = std::move(rows);
  results->runs = options.runs;
}

void timeThroughput(BenchSystem& system, const Options& options, Results* results) {
  std::vector<const Row*> pools;
  for (const Row& row : results->rows) {
    if (row.id == RowId::Setpriv || row.id == RowId::DorqPolling || row.id == RowId::AltPolling) {
      pools.push_back(&row);
    }
  }
  const double total = options.poolTotal;
  for (int round = 0; round < options.rounds; ++round) {
    // A different row goes first each round.
    for (size_t k = 0; k < pools.size(); ++k) {
      const Row& row = *pools[(static_cast<size_t>(round) + k) % pools.size()];
      system.apply(row.services);
      const double seconds =
          static_cast<double>(runPool(row.spec, options.poolTotal, options.poolWidth)) / 1e9;
      results->rates[row.id].push_back(total / seconds);
    }
  }
  results->poolTotal = options.poolTotal;
  results->poolWidth = options.poolWidth;
}

int runBenchmark(const Options& options) {
  printMachine();
  BenchSystem system(options.dorq, options.altDorq);
  printf("sandbox: %s (yescrypt passwords, own /etc/pam.d and /etc/sudoers)\n",
         system.sandbox().root().c_str());
  checkRows(system);
  printf("checked: every row runs the job as the job user with its groups\n");
  fflush(stdout);

  Results results;
  timeLaunches(system, options, &results);
  timeThroughput(system, options, &results);
  results.memory = measurePeakMemory(system, options.memoryRepeats);
  printResults(results);
  printf("\nWhat dorq loads:\n");
  fflush(stdout);
  reportLoads(system);
  printMachine();
  return 0;
}

int runCommand(const Options& options) {
  BenchSystem system(options.dorq, {});
  const char* text = options.unixPam ? kPamUnixService : kPamPermitService;
  system.apply({{"su", text}, {"dorq", text}});
  const std::string root = system.sandbox().root();
  const std::pair<std::string, std::string> requests[] = {
      {"DORQ_REQUEST_POLLING", jobRequest(kFlagsPolling, kTrueJob)},
      {"DORQ_REQUEST_BLOCKING", jobRequest(kFlagsBlocking, kTrueJob)},
      {"DORQ_REQUEST_EMPTY", ""}};
  ProcessSpec spec = specFor(options.exec[0]);
  spec.argv = options.exec;
  spec.binary = options.exec[0].find('/') == std::string::npos ? "/usr/bin/" + options.exec[0]
                                                               : options.exec[0];
  for (const auto& [name, request] : requests) {
    const std::string file = root + "/" + name;
    writeFile(file, request, 0644);
    spec.env.push_back(name + "=" + file);
  }
  spec.env.push_back("DORQ_SETUID=" + system.paths().dorqSetuid);
  spec.env.push_back("DORQ_PLAIN=" + system.paths().dorqPlain);
  spec.env.push_back("DORQ_NULL_SETUID=" + system.paths().nullSetuid);
  spec.env.push_back(std::string("DORQ_SCHED_USER=") + kSchedulerUser.name);
  spec.stdinSource = StdinSource::DevNull;
  spec.timeout = std::chrono::hours(1);
  const ProcessResult result = runProcess(spec);
  fputs(result.out.c_str(), stdout);
  fputs(result.err.c_str(), stderr);
  if (!result.started()) {
    fprintf(stderr, "dorq_bench: %s\n", result.startError.c_str());
    return 1;
  }
  return result.exited ? result.exitCode : 1;
}

}  // namespace
}  // namespace dorq_bench

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr, "dorq_bench: run as root (it builds a private sandbox of users and PAM)\n");
    return 1;
  }
  try {
    const dorq_bench::Options options = dorq_bench::parseOptions(argc, argv);
    return options.exec.empty() ? dorq_bench::runBenchmark(options)
                                : dorq_bench::runCommand(options);
  } catch (const std::exception& error) {
    fflush(stdout);
    fprintf(stderr, "dorq_bench: %s\n", error.what());
    return 1;
  }
}
