// Peak resident memory, read as VmHWM from /proc/<pid>/status while the
// program waits for its job. The rusage of wait4 is not used: a child forked
// from the benchmark carries the benchmark's own pages until its exec, and
// the kernel folds that pre-exec size into the child's ru_maxrss.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "bench/bench_steps.h"

namespace dorq_bench {
namespace {

// The job: long enough for the reading, started by every row the same way.
const std::vector<std::string> kSleepingJob = {"/bin/sleep", "1"};
constexpr char kJobName[] = "sleep\n";
constexpr auto kPollStep = std::chrono::milliseconds(2);
constexpr auto kGiveUp = std::chrono::seconds(20);

std::string procFile(pid_t pid, const std::string& name) {
  return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

// The first child of pid once it has become the job; -1 while there is none.
pid_t runningJob(pid_t pid) {
  const std::string children = procFile(pid, "task/" + std::to_string(pid) + "/children");
  const long child = strtol(children.c_str(), nullptr, 10);
  if (child <= 0 || procFile(static_cast<pid_t>(child), "comm") != kJobName) {
    return -1;
  }
  return static_cast<pid_t>(child);
}

long vmHwmKib(pid_t pid) {
  const std::string status = procFile(pid, "status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : strtol(status.c_str() + at + 6, nullptr, 10);
}

long peakWhileJobRuns(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  const pid_t pid = startDetached(row.spec);
  const auto deadline = std::chrono::steady_clock::now() + kGiveUp;
  long kib = -1;
  while (std::chrono::steady_clock::now() < deadline) {
    if (runningJob(pid) > 0) {
      kib = vmHwmKib(pid);
      break;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  if (kib < 0) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (kib < 0) {
    throw std::runtime_error("memory of row '" + row.key + "': the job never ran");
  }
  return kib;
}

}  // namespace

std::vector<PeakMemory> measurePeakMemory(BenchSystem& system, int repeats) {
  std::vector<PeakMemory> peaks;
  for (const Row& row : jobRows(system, kSleepingJob)) {
    if (row.id == RowId::Setpriv) {
      continue;  // setpriv becomes the job itself: nothing of its own stays alive
    }
    PeakMemory peak{row.label};
    for (int i = 0; i < repeats; ++i) {
      peak.vmHwmKib = std::max(peak.vmHwmKib, peakWhileJobRuns(system, row));
    }
    peaks.push_back(peak);
  }
  return peaks;
}

}  // namespace dorq_bench
