// A modest load: 48 requests of every kind, 4 at a time, through the real
// set-user-ID binary. Every run ends as it should, and nothing is left: no
// process of a test user, no zombie, no descriptor of the test.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

// Tests that run beside this one live in mount namespaces of their own.
std::string mountNamespaceOf(pid_t pid) {
  char target[256] = {};
  const ssize_t n =
      readlink(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

size_t ownProcessesOfTestUsers() {
  size_t found = 0;
  for (const ProcessEntry& p : listProcesses()) {
    const bool testUser = p.ruid == kJobUser.uid || p.euid == kJobUser.uid ||
                          p.ruid == kSchedulerUser.uid || p.euid == kSchedulerUser.uid;
    found += testUser && mountNamespaceOf(p.pid) == mountNamespaceOf(getpid()) ? 1 : 0;
  }
  return found;
}

class LoadTest : public E2eTest {
 protected:
  void run(int index) {
    const int flags = (index % 4) * 2;  // polling or blocking, with or without status words
    const std::string words = (flags & 2) != 0 ? std::string(1, '\0') : "";
    const std::string what = "run " + std::to_string(index);
    switch (index % 4) {
      case 0:
        expectChannels(
            runDorq(jobRequest(flags, "/bin/sh", {"-c", "exit " + std::to_string(index % 7)})),
            {words, -1, index % 7}, what);
        return;
      case 1:
        expectChannels(runDorq(requestRecord(kJobUser.name, "wrong", flags, "/bin/true")),
                       {(flags & 2) != 0 ? "\x07" : "", 7, 7}, what);
        return;
      case 2:
        expectChannels(runDorq(jobRequest(flags, "kill", {"1"})),
                       {(flags & 2) != 0 ? "\x0e\x0e" : "", 14, 14}, what);
        return;
      default: {
        const std::string name = "report" + std::to_string(index);
        ProcessSpec spec = dorqSpec(probeRequest(flags, name, {"exit=0"}));
        spec.ignoredSignals = {SIGUSR2};
        expectChannels(runProcess(spec), {words, -1, 0}, what);
        const auto report = probeReport(name);
        ASSERT_TRUE(report.has_value()) << what;
        EXPECT_EQ(report->fds().size(), 3U) << what;
        EXPECT_EQ(report->signals("sigign"), std::set<int>{SIGUSR2}) << what;
      }
    }
  }
};

TEST_F(LoadTest, FortyEightRequestsFourAtATimeLeaveNothingBehind) {
  const std::vector<int> fdsBefore = openFdNumbers();
  std::atomic<int> next{0};
  std::vector<std::thread> workers;
  workers.reserve(4);
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (int i = next++; i < 48; i = next++) {
        run(i);
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  EXPECT_TRUE(waitFor([] { return ownProcessesOfTestUsers() == 0; }))
      << ownProcessesOfTestUsers() << " processes of the test users survive";
  for (const ProcessEntry& p : listProcesses()) {
    EXPECT_FALSE(p.ppid == getpid() && p.state == 'Z') << "zombie " << p.pid;
  }
  EXPECT_EQ(openFdNumbers(), fdsBefore);
}

}  // namespace
}  // namespace dorq_test
