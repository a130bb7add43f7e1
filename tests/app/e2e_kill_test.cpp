// Kill requests against real process groups, the orphaned run, and the
// child pid record.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

class KillTest : public E2eTest {};

size_t groupSize(pid_t group) {
  const std::vector<ProcessEntry> all = listProcesses();
  return std::count_if(all.begin(), all.end(),
                       [&](const ProcessEntry& p) { return p.pgid == group; });
}

// A job whose pid was recorded is killed with all of its process group by a
// later kill request of the same user; what the user may not or cannot kill
// is refused with 14.
TEST_F(KillTest, KillsTheWholeGroupOfTheUsersOwnJobAndNothingElse) {
  const std::string pidFile = reports_ + "/job.pid";
  Process run;
  ASSERT_TRUE(run.start(dorqSpec(jobRequest(6, "/bin/sh", {"-c", "sleep 60 & sleep 60"}),
                                 {"-childpidfile", pidFile})));
  ASSERT_TRUE(waitFor([&] { return !readFile(pidFile).empty(); }));
  const std::string pid = readFile(pidFile);
  const pid_t group = static_cast<pid_t>(std::stoi(pid));
  ASSERT_TRUE(waitFor([&] { return groupSize(group) >= 3; }));

  ProcessSpec otherSpec = specFor("/bin/sleep", {"60"});
  otherSpec.identity = Identity{kOtherUser.uid, kOtherUser.group.gid, {}};
  Process other;
  ASSERT_TRUE(other.start(otherSpec));
  const ProcessResult gone = runProcess(specFor("/bin/true"));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{std::to_string(other.pid())},
                                             {std::to_string(gone.pid)},
                                             {"0"},
                                             {"1"},
                                             {"-1"},
                                             {"abc"},
                                             {"-2147483648"},
                                             {}}) {
    expectChannels(runDorq(jobRequest(2, "kill", args)), {"\x0e\x0e", 14, 14},
                   "kill " + (args.empty() ? "" : args[0]));
  }
  const std::vector<ProcessEntry> all = listProcesses();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const ProcessEntry& p) {
    return p.pid == other.pid() && p.state != 'Z';
  })) << "the other user's process was killed";
  EXPECT_EQ(kill(other.pid(), SIGKILL), 0);

  expectChannels(runDorq(jobRequest(2, "kill", {pid})), startedWith(0), "own job");
  expectChannels(run.wait(), {std::string("\0\x0c", 2), 12, 12}, "the killed run");
  EXPECT_TRUE(waitFor([&] { return groupSize(group) == 0; }));
}

// The caller dies while dorq waits: dorq, adopted by init, kills the job
// and ends with status 0.
TEST_F(KillTest, OrphanedRunKillsItsJob) {
  const std::string pidFile = reports_ + "/orphan.pid";
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/sleep", {"60"}), {"-childpidfile", pidFile});
  spec.parent = ParentKind::CallerInPidNamespace;
  Process run;
  ASSERT_TRUE(run.start(spec)) << run.startError();
  ASSERT_TRUE(waitFor([&] { return !readFile(pidFile).empty(); }));
  ASSERT_TRUE(run.killCaller());
  const ProcessResult r = run.wait();
  expectChannels(r, startedWith(0), "orphaned");
  bool jobKilled = false;
  for (const ReapedProcess& p : r.reaped) {
    jobKilled |= p.nsPid == std::stoi(readFile(pidFile)) && WIFSIGNALED(p.status) &&
                 WTERMSIG(p.status) == SIGKILL;
  }
  EXPECT_TRUE(jobKilled) << describe(r);
}

// The record goes to a descriptor dorq was started with (framed), or to a
// file created or overwritten from its start, never through a final link,
// and never to a FIFO, where dorq could hang in the open.
TEST_F(KillTest, ChildPidRecords) {
  int record[2];
  ASSERT_EQ(pipe2(record, O_CLOEXEC), 0);
  ProcessSpec spec = dorqSpec(probeRequest(0, "fd"), {"-childpidfile", "5"});
  spec.inherited.push_back({5, record[1]});
  EXPECT_TRUE(runProcess(spec).exitedWith(0));
  close(record[1]);
  char buf[128] = {};
  EXPECT_GT(read(record[0], buf, sizeof buf - 1), 0);
  close(record[0]);
  const auto fdReport = probeReport("fd");
  ASSERT_TRUE(fdReport.has_value());
  EXPECT_EQ(std::string(buf), "DORQ_CHILD_PID" + fdReport->value("pid") + "DORQ_CHILD_PID");

  const std::string fresh = reports_ + "/fresh.pid";
  const std::string old = reports_ + "/old.pid";
  const std::string target = sandbox_->root() + "/not-for-the-caller";
  writeFile(old, "XXXXXXXXXXXXXXXXXXXXtail");
  writeFile(target, "untouched");
  ASSERT_EQ(symlink(target.c_str(), (reports_ + "/link.pid").c_str()), 0);
  ASSERT_EQ(mkfifo((reports_ + "/fifo").c_str(), 0666), 0);
  for (const std::string& file : {fresh, old, reports_ + "/link.pid", reports_ + "/fifo"}) {
    ProcessSpec s = dorqSpec(probeRequest(2, "file"), {"-childpidfile", file});
    s.beforeExec = [] { umask(0); };
    s.timeout = std::chrono::milliseconds(10000);
    expectChannels(runProcess(s), startedWith(0), file);
    const auto report = probeReport("file");
    ASSERT_TRUE(report.has_value()) << file;
    const std::string pid = report->value("pid");
    if (file == fresh) {
      EXPECT_EQ(readFile(fresh), pid);
      struct stat st {};
      ASSERT_EQ(stat(fresh.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0660U);
      EXPECT_EQ(st.st_uid, 0U);
    } else if (file == old) {
      EXPECT_EQ(readFile(old), pid + std::string("XXXXXXXXXXXXXXXXXXXXtail").substr(pid.size()));
    }
  }
  EXPECT_EQ(readFile(target), "untouched");
}

}  // namespace
}  // namespace dorq_test
