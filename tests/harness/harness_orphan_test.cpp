// Starting a program through a caller process that the test can kill, so that
// the program is orphaned the way dorq is when its scheduler dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/harness/run_process.h"
#include "tests/support/require_root.h"

namespace dorq_test {
namespace {

class OrphanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int subreaper = 0;
    ASSERT_EQ(prctl(PR_GET_CHILD_SUBREAPER, &subreaper), 0);
    ASSERT_EQ(subreaper, 0) << "a subreaper test process adopts the orphans itself";
  }
  void TearDown() override { EXPECT_TRUE(zombieChildrenOf(getpid()).empty()); }

  static ProcessSpec probe(const ProbeOptions& options, ParentKind parent) {
    ProcessSpec spec = specFor(jobProbePath(), probeArgs(options));
    spec.parent = parent;
    return spec;
  }
};

TEST_F(OrphanTest, CallerThatStaysHandsOverTheStatus) {
  Process p;
  ASSERT_TRUE(p.start(probe({.exitCode = 5}, ParentKind::Caller))) << p.startError();
  const pid_t caller = p.callerPid();
  EXPECT_GT(caller, 0);
  EXPECT_NE(caller, p.pid());
  const ProcessResult r = p.wait();
  EXPECT_TRUE(r.exitedWith(5)) << describe(r);
  EXPECT_EQ(ProbeReport::parse(r.out).number("ppid"), caller);
  EXPECT_FALSE(processInfo(caller).has_value());
}

TEST_F(OrphanTest, KilledCallerLeavesTheProgramToInit) {
  Process p;
  ASSERT_TRUE(p.start(probe({.awaitOrphan = true}, ParentKind::Caller))) << p.startError();
  ASSERT_TRUE(p.killCaller());
  const ProcessResult r = p.wait();
  ASSERT_FALSE(r.timedOut) << describe(r);
  // init reaped it, so only its end is known, not its status.
  EXPECT_FALSE(r.statusKnown);
  const ProbeReport report = ProbeReport::parse(r.out);
  ASSERT_TRUE(report.complete()) << describe(r);
  EXPECT_EQ(report.number("ppid"), 1) << "an ancestor of the test is a subreaper";
}

TEST_F(OrphanTest, InAPidNamespaceTheOrphanSeesParentOneAndItsStatusIsKept) {
  DORQ_REQUIRE_ROOT();
  Process p;
  ASSERT_TRUE(
      p.start(probe({.awaitOrphan = true, .exitCode = 4}, ParentKind::CallerInPidNamespace)))
      << p.startError();
  EXPECT_GT(p.pid(), 0);
  EXPECT_NE(p.pid(), p.nsPid());
  ASSERT_TRUE(p.killCaller());
  const ProcessResult r = p.wait();
  EXPECT_TRUE(r.exitedWith(4)) << describe(r);
  const ProbeReport report = ProbeReport::parse(r.out);
  EXPECT_EQ(report.number("ppid"), 1);
  EXPECT_EQ(report.number("pid"), p.nsPid());
  // The namespace's init reaped both: the caller killed, the program exited.
  ASSERT_EQ(r.reaped.size(), 2U);
  EXPECT_TRUE(WIFSIGNALED(r.reaped[0].status) && WTERMSIG(r.reaped[0].status) == SIGKILL);
  EXPECT_EQ(r.reapedStatus(p.nsPid()), std::optional<int>(4 << 8));
}

TEST_F(OrphanTest, InAPidNamespaceAnythingLeftRunningIsATimeout) {
  DORQ_REQUIRE_ROOT();
  ProcessSpec spec = specFor("/bin/sh", {"-c", "sleep 30 >/dev/null 2>&1 & exit 0"});
  spec.parent = ParentKind::CallerInPidNamespace;
  spec.timeout = std::chrono::milliseconds(500);
  const ProcessResult r = runProcess(spec);
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_TRUE(r.timedOut) << "the background sleep outlived the program";
}

}  // namespace
}  // namespace dorq_test
