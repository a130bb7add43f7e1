// Kill requests and the orphaned run, against real process groups.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>

#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class KillTest : public E2eTest {
 protected:
  // Processes of one process group (other tests run jobs of the same user).
  static size_t groupSize(pid_t group) {
    size_t count = 0;
    for (const ProcessEntry& p : listProcesses()) {
      count += p.pgid == group ? 1 : 0;
    }
    return count;
  }
  static bool groupGone(pid_t group) {
    return waitFor([&] { return groupSize(group) == 0; }, milliseconds(5000));
  }
};

// A job started through dorq, with its pid recorded, is killed with all of
// its process group by a later kill request of the same user.
TEST_F(KillTest, KillsTheWholeGroupOfTheSameUsersJob) {
  const std::string pidFile = reports_ + "/job.pid";
  Process run;
  ASSERT_TRUE(run.start(dorqSpec(jobRequest(6, "/bin/sh", {"-c", "sleep 60 & sleep 60"}),
                                 {"-childpidfile", pidFile})));
  ASSERT_TRUE(waitFor([&] { return !readFile(pidFile).empty(); }));
  const std::string pid = readFile(pidFile);
  const pid_t group = static_cast<pid_t>(std::stoi(pid));
  ASSERT_TRUE(waitFor([&] { return groupSize(group) >= 3; }));

  const ProcessResult kill = runDorq(jobRequest(2, "kill", {pid}));
  EXPECT_TRUE(kill.exitedWith(0)) << describe(kill);
  EXPECT_EQ(kill.out, std::string(1, '\0'));

  const ProcessResult ended = run.wait();
  EXPECT_TRUE(ended.exitedWith(12)) << describe(ended);
  EXPECT_TRUE(groupGone(group));
}

TEST_F(KillTest, RefusesWhatTheUserMayNotOrCannotKill) {
  ProcessSpec otherSpec = specFor("/bin/sleep", {"60"});
  otherSpec.identity = Identity{kOtherUser.uid, kOtherUser.group.gid, {}};
  Process other;
  ASSERT_TRUE(other.start(otherSpec));

  const ProcessResult gone = runProcess(specFor("/bin/true"));
  const std::vector<std::vector<std::string>> refused = {
      {std::to_string(other.pid())},  // another user's group
      {std::to_string(gone.pid)},     // no such group any more
      {"0"},
      {"1"},
      {"-1"},
      {"abc"},
      {"-2147483648"},
      {},  // no pid text at all
  };
  for (const auto& args : refused) {
    const ProcessResult r = runDorq(jobRequest(2, "kill", args));
    EXPECT_TRUE(r.exitedWith(14)) << (args.empty() ? "none" : args[0]) << ": " << describe(r);
    EXPECT_EQ(r.err, statusFrame(14));
  }
  EXPECT_TRUE(processInfo(other.pid()).has_value());
  EXPECT_TRUE(other.signal(SIGKILL));
}

// The caller dies while dorq polls: dorq, adopted by init, kills the job
// within about a second and ends with status 0.
TEST_F(KillTest, OrphanedRunKillsItsJob) {
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/sleep", {"60"}));
  spec.parent = ParentKind::CallerInPidNamespace;
  Process run;
  ASSERT_TRUE(run.start(spec)) << run.startError();
  ASSERT_TRUE(waitFor([&] { return run.outSoFar().size() >= 1; }));
  const auto killedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.killCaller());
  const ProcessResult r = run.wait();
  const auto took = std::chrono::steady_clock::now() - killedAt;
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.out, std::string(1, '\0'));
  EXPECT_EQ(r.err, "");
  EXPECT_LT(took, seconds(5));
  bool jobKilled = false;
  for (const ReapedProcess& p : r.reaped) {
    jobKilled |= WIFSIGNALED(p.status) && WTERMSIG(p.status) == SIGKILL;
  }
  EXPECT_TRUE(jobKilled) << describe(r);
}

}  // namespace
}  // namespace dorq_test
