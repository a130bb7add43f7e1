// What the job sees, checked from inside the job: identity, groups, process
// group, descriptors, standard error joining, inherited standard input,
// signals, environment, and the child pid record.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

class JobTest : public E2eTest {
 protected:
  // Runs the probe as the job through dorq; returns its report.
  ProbeReport runProbe(int flags, const std::string& after = "", ProcessSpec* custom = nullptr,
                       std::vector<std::string> extraArgs = {}) {
    const std::string report = probeReportPath("probe");
    ProbeOptions options;
    options.report = report;
    std::vector<std::string> args = probeArgs(options);
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    const std::string input = jobRequest(flags, jobProbePath(), args) + after;
    ProcessSpec spec = custom != nullptr ? *custom : dorqSpec("");
    spec.stdinBytes = input;
    last_ = runProcess(spec);
    EXPECT_TRUE(last_.exitedWith(0)) << describe(last_);
    const auto parsed = readProbeReport(report);
    EXPECT_TRUE(parsed.has_value()) << describe(last_);
    return parsed.value_or(ProbeReport{});
  }
  ProcessResult last_;
};

std::set<int> fdNumbers(const ProbeReport& report) {
  std::set<int> numbers;
  for (const auto& [fd, target] : report.fds()) {
    numbers.insert(fd);
  }
  return numbers;
}

TEST_F(JobTest, RunsAsTheUserInAProcessGroupOfItsOwn) {
  const ProbeReport r = runProbe(2, "left for the job\n");
  EXPECT_EQ(r.number("uid"), kJobUser.uid);
  EXPECT_EQ(r.number("euid"), kJobUser.uid);
  EXPECT_EQ(r.number("suid"), kJobUser.uid);
  EXPECT_EQ(r.number("gid"), kJobUser.group.gid);
  EXPECT_EQ(r.number("egid"), kJobUser.group.gid);
  std::vector<gid_t> groups = r.groups();
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(groups, (std::vector<gid_t>{kJobUser.group.gid, kJobGroupA.gid, kJobGroupB.gid}));
  EXPECT_EQ(r.number("pgid"), r.number("pid"));
  EXPECT_EQ(r.stdinBytes(), "left for the job\n");
  EXPECT_EQ(r.value("stdout_is_stderr"), "1");
  EXPECT_EQ(fdNumbers(r), (std::set<int>{0, 1, 2}));
  EXPECT_EQ(last_.out[0], '\0');
}

TEST_F(JobTest, Flag1LeavesStandardErrorAlone) {
  const ProbeReport r = runProbe(1);
  EXPECT_EQ(r.value("stdout_is_stderr"), "0");
  EXPECT_EQ(last_.out, "");
}

TEST_F(JobTest, JoinedStandardErrorCarriesTheCommandsDiagnostics) {
  const ProcessResult r =
      runDorq(jobRequest(4, "/bin/sh", {"-c", "echo to-stderr >&2; echo to-stdout"}));
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.out, "to-stderr\nto-stdout\n");
  EXPECT_EQ(r.err, "");
}

// dorq's own descriptors (the trace file, the settings file, the child pid
// file, the job pipe, the copy of standard error) never reach the job; the
// descriptors dorq was started with do.
TEST_F(JobTest, SeesOnlyTheDescriptorsDorqWasStartedWith) {
  const std::string home = sandbox_->root() + "/home-inst";
  mkdir(home.c_str(), 0755);
  writeFile(home + "/env.zan", "KVL_ADMIN=/net/admin\n");
  int extra[2];
  ASSERT_EQ(pipe(extra), 0);
  ProcessSpec spec = dorqSpec(
      "", {"-trclvl", "0x22", "-trcfile", reports_ + "/trace", "-childpidfile", reports_ + "/pid"});
  spec.env.push_back("ZANTIX_HOME=" + home);
  spec.inherited.push_back({7, extra[1]});
  const ProbeReport r = runProbe(2, "", &spec);
  close(extra[0]);
  close(extra[1]);
  EXPECT_EQ(fdNumbers(r), (std::set<int>{0, 1, 2, 7}));
}

// Some PAM modules keep descriptors open on purpose; none reaches the job.
TEST_F(JobTest, DescriptorsLeftOpenByAPamModuleStayOutOfTheJob) {
  sandbox_->writeService("su", keepFdService("keep=3"));
  const ProbeReport r = runProbe(2);
  EXPECT_EQ(fdNumbers(r), (std::set<int>{0, 1, 2}));
}

TEST_F(JobTest, InheritsTheCallersSignalMaskAndDispositions) {
  for (const int flags : {2, 6}) {
    ProcessSpec spec = dorqSpec("");
    spec.blockedSignals = {SIGUSR1};
    spec.ignoredSignals = {SIGUSR2, SIGCHLD};
    const ProbeReport r = runProbe(flags, "", &spec);
    EXPECT_EQ(r.blockedSignals(), (std::set<int>{SIGUSR1})) << flags;
    EXPECT_EQ(r.ignoredSignals(), (std::set<int>{SIGUSR2, SIGCHLD})) << flags;
  }
}

TEST_F(JobTest, LibraryPathComesFromTheInstallationHome) {
  struct Case {
    std::vector<std::string> env;
    std::string expected;  // "" : LD_LIBRARY_PATH absent
  };
  const std::vector<Case> cases = {
      {{"ZANTIX_HOME=/h", "LD_LIBRARY_PATH_SDORQ=/x"}, "/h/lib32:/h/lib:/x"},
      {{"ZANTIX_HOME=/h"}, "/h/lib32:/h/lib"},
      {{"LD_LIBRARY_PATH_SDORQ=/x"}, ""},
      // The loader drops a set-user-ID program's own library path.
      {{"LD_LIBRARY_PATH=/evil"}, ""},
  };
  for (const Case& c : cases) {
    ProcessSpec spec = dorqSpec("");
    spec.env.insert(spec.env.end(), c.env.begin(), c.env.end());
    spec.env.push_back("DORQ_MARK=kept");
    const ProbeReport r = runProbe(0, "", &spec);
    const auto env = r.env();
    const auto found = env.find("LD_LIBRARY_PATH");
    EXPECT_EQ(found == env.end() ? "" : found->second, c.expected) << c.env[0];
    EXPECT_EQ(env.count("DORQ_MARK"), 1U);
  }
}

TEST_F(JobTest, ChildPidGoesToAnInheritedDescriptorFramed) {
  int record[2];
  ASSERT_EQ(pipe(record), 0);
  ProcessSpec spec = dorqSpec("", {"-childpidfile", "5"});
  spec.inherited.push_back({5, record[1]});
  const ProbeReport r = runProbe(0, "", &spec);
  close(record[1]);
  char buf[128] = {};
  const ssize_t n = read(record[0], buf, sizeof buf - 1);
  close(record[0]);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf), "DORQ_CHILD_PID" + r.value("pid") + "DORQ_CHILD_PID");
  // The job was forked before dorq wrote and closed its copy, so descriptor
  // 5, one that dorq was started with, reaches the job.
  EXPECT_TRUE(fdNumbers(r).count(5) == 1);
}

TEST_F(JobTest, ChildPidFileIsCreatedOrOverwrittenFromItsStart) {
  const std::string fresh = reports_ + "/fresh.pid";
  ProcessSpec spec = dorqSpec("", {"-childpidfile", fresh});
  spec.umask = 0;
  const ProbeReport r = runProbe(0, "", &spec);
  EXPECT_EQ(readFile(fresh), r.value("pid"));
  struct stat st {};
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660U);
  EXPECT_EQ(st.st_uid, 0U);

  const std::string old = reports_ + "/old.pid";
  writeFile(old, "XXXXXXXXXXXXXXXXXXXXtail");
  ProcessSpec again = dorqSpec("", {"-childpidfile", old});
  const ProbeReport r2 = runProbe(0, "", &again);
  const std::string pid = r2.value("pid");
  EXPECT_EQ(readFile(old), pid + std::string("XXXXXXXXXXXXXXXXXXXXtail").substr(pid.size()));

  // Never through a symbolic link: dorq writes the record with root's rights.
  const std::string target = sandbox_->root() + "/not-for-the-caller";
  writeFile(target, "untouched");
  ASSERT_EQ(symlink(target.c_str(), (reports_ + "/link.pid").c_str()), 0);
  ProcessSpec linked = dorqSpec("", {"-childpidfile", reports_ + "/link.pid"});
  runProbe(0, "", &linked);
  EXPECT_EQ(readFile(target), "untouched");
}

}  // namespace
}  // namespace dorq_test
