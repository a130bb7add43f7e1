// The runner against the job probe and ordinary programs: exit statuses,
// captured bytes, standard input, descriptors, identity, signal state and
// limits as the started program sees them, and timeouts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "port/unique_fd.h"
#include "tests/harness/run_process.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { fdsBefore_ = openFds(); }
  // Every run is reaped, and leaves no descriptor open in the test.
  void TearDown() override {
    EXPECT_TRUE(zombieChildrenOf(getpid()).empty());
    std::vector<int> before;
    for (const OpenFd& fd : fdsBefore_) {
      before.push_back(fd.fd);
    }
    EXPECT_EQ(openFdNumbers(), before);
  }

  static ProcessSpec probe(const ProbeOptions& options) {
    return specFor(jobProbePath(), probeArgs(options));
  }
  static ProbeReport reportOf(const ProcessResult& r) {
    ProbeReport report = ProbeReport::parse(r.out);
    EXPECT_TRUE(report.complete()) << describe(r);
    return report;
  }

  std::vector<OpenFd> fdsBefore_;
};

struct EndCase {
  const char* name;
  ProcessSpec spec;
  bool exited;
  int code;  // exit code or signal
};

TEST_F(RunnerTest, ReportsHowTheProgramEnded) {
  const std::vector<EndCase> cases = {
      {"true", specFor("/bin/true"), true, 0},
      {"shell exit 3", specFor("/bin/sh", {"-c", "exit 3"}), true, 3},
      {"shell kills itself", specFor("/bin/sh", {"-c", "kill -TERM $$"}), false, SIGTERM},
      {"probe --exit 7", probe({.exitCode = 7}), true, 7},
      {"probe --signal 9", probe({.signal = SIGKILL}), false, SIGKILL},
      {"probe --signal 10", probe({.signal = SIGUSR1}), false, SIGUSR1},
  };
  for (const EndCase& c : cases) {
    const ProcessResult r = runProcess(c.spec);
    ASSERT_TRUE(r.started()) << c.name << ": " << r.startError;
    EXPECT_FALSE(r.timedOut) << c.name;
    if (c.exited) {
      EXPECT_TRUE(r.exitedWith(c.code)) << c.name << ": " << describe(r);
    } else {
      EXPECT_TRUE(r.killedBy(c.code)) << c.name << ": " << describe(r);
    }
    EXPECT_GT(r.wallTime.count(), 0) << c.name;
  }
}

TEST_F(RunnerTest, CapturesRawBytesOfBothStreamsSeparately) {
  TempDir dir;
  const std::string out("\x00\x0a\x07 status\xff", 10);
  const std::string err("\x00!@#--!@#7#@!--#@!\x0a", 19);
  const ProcessResult r =
      runProcess(probe({.report = dir / "report", .out = out, .err = err, .exitCode = 1}));
  ASSERT_TRUE(r.exitedWith(1)) << describe(r);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

TEST_F(RunnerTest, FeedsLargeStandardInputWhileReadingOutput) {
  // More than any pipe holds, in both directions at once, every byte value.
  std::string bytes;
  for (size_t i = 0; i < (1U << 20); ++i) {
    bytes += static_cast<char>(i * 7 % 256);
  }
  ProcessSpec spec = specFor("/bin/cat");
  spec.stdinBytes = bytes;
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.out, bytes);
}

TEST_F(RunnerTest, ProbeSeesAnOverlongRequestLineOnStandardInput) {
  const std::string line = std::string(131069, 'x') + "\n";
  ProcessSpec spec = probe({});
  spec.stdinBytes = line;
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(reportOf(r).stdinBytes(), line);
}

TEST_F(RunnerTest, ProgramThatIgnoresItsInputDoesNotHang) {
  ProcessSpec spec = specFor("/bin/true");
  spec.stdinBytes = std::string(1 << 20, 'y');
  EXPECT_TRUE(runProcess(spec).exitedWith(0));
}

TEST_F(RunnerTest, EmptyArgumentVector) {
  ProcessSpec spec = probe({});
  spec.argv.clear();
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const ProbeReport report = reportOf(r);
  // Linux 5.18 and later hand such a program one empty argument.
  const std::vector<std::string> args = report.argv();
  EXPECT_TRUE(args.empty() || args == std::vector<std::string>{""}) << r.out;
}

TEST_F(RunnerTest, ExactEnvironmentAndWorkingDirectory) {
  TempDir dir;
  ProcessSpec spec = probe({});
  spec.env = {"A=1", "SPACED=a b", "EMPTY="};
  spec.cwd = dir.path();
  spec.umask = 027;
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const ProbeReport report = reportOf(r);
  const std::map<std::string, std::string> expected = {
      {"A", "1"}, {"SPACED", "a b"}, {"EMPTY", ""}};
  EXPECT_EQ(report.env(), expected);
  EXPECT_EQ(report.value("cwd"), dir.path());
  EXPECT_EQ(report.value("umask"), "27");
}

TEST_F(RunnerTest, OnlyPlannedDescriptorsReachTheProgram) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // deliberately inheritable
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  ProcessSpec spec = probe({});
  spec.inherited = {{5, writeEnd.get()}};
  spec.stdinSource = StdinSource::DevNull;
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const std::map<int, std::string> seen = reportOf(r).fds();
  ASSERT_EQ(seen.size(), 4U) << r.out;
  EXPECT_EQ(seen.at(0), "/dev/null");
  EXPECT_EQ(seen.at(5), fdTarget(writeEnd.get()));
  EXPECT_EQ(reportOf(r).value("stdout_is_stderr"), "0");
}

TEST_F(RunnerTest, InheritedDescriptorCanTakeAStandardNumber) {
  TempDir dir;
  UniqueFd file(open((dir / "shared").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_TRUE(file.valid());
  // Both standard outputs on one file, as dorq arranges for a job.
  ProcessSpec spec = probe({.report = dir / "report", .readStdin = false});
  spec.inherited = {{1, file.get()}, {2, file.get()}};
  ASSERT_TRUE(runProcess(spec).exitedWith(0));
  const std::optional<ProbeReport> report = readProbeReport(dir / "report");
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->value("stdout_is_stderr"), "1");
}

TEST_F(RunnerTest, StandardDescriptorsClosedAtExec) {
  TempDir dir;
  ProcessSpec spec = probe({.report = dir / "report"});
  spec.stdinSource = StdinSource::Closed;
  spec.stdoutSink = OutputSink::Closed;
  spec.stderrSink = OutputSink::DevNull;
  ASSERT_TRUE(runProcess(spec).exitedWith(0));
  const std::optional<ProbeReport> report = readProbeReport(dir / "report");
  ASSERT_TRUE(report.has_value());
  const std::map<int, std::string> seen = report->fds();
  EXPECT_EQ(seen.count(0), 0U);
  EXPECT_EQ(seen.count(1), 0U);
  EXPECT_EQ(seen.at(2), "/dev/null");
  EXPECT_EQ(report->value("stdout_is_stderr"), "closed");
  EXPECT_EQ(report->number("stdin.errno"), EBADF);
}

TEST_F(RunnerTest, SignalStateIsExactlyWhatTheSpecSays) {
  // A disposition of the test process must not leak into the program.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR2, &ignore, &previous), 0);
  ProcessSpec spec = probe({});
  spec.ignoredSignals = {SIGCHLD, SIGHUP};
  spec.blockedSignals = {SIGUSR1, SIGTERM};
  const ProcessResult r = runProcess(spec);
  sigaction(SIGUSR2, &previous, nullptr);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const ProbeReport report = reportOf(r);
  EXPECT_EQ(report.ignoredSignals(), (std::set<int>{SIGHUP, SIGCHLD}));
  EXPECT_EQ(report.blockedSignals(), (std::set<int>{SIGUSR1, SIGTERM}));
}

TEST_F(RunnerTest, ResourceLimitsAndHookApplyBeforeExec) {
  ProcessSpec spec = specFor("/bin/sh", {"-c", "ulimit -n; cat /proc/self/oom_score_adj"});
  spec.limits = {{RLIMIT_NOFILE, 64, 64}};
  // The hook runs in the child: only async-signal-safe calls.
  spec.beforeExec = [] {
    const int fd = open("/proc/self/oom_score_adj", O_WRONLY);
    if (fd >= 0) {
      [[maybe_unused]] const ssize_t n = write(fd, "500", 3);
      close(fd);
    }
  };
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.out, "64\n500\n");
}

TEST_F(RunnerTest, DescriptorLimitAsLowAsTheStandardStreams) {
  ProcessSpec spec = probe({});
  spec.limits = {{RLIMIT_NOFILE, 4, 4}};
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const std::map<int, std::string> seen = reportOf(r).fds();
  EXPECT_EQ(seen.size(), 3U) << r.out;
  EXPECT_EQ(seen.count(3), 0U);
}

TEST_F(RunnerTest, RunsAsAnotherUserWithItsGroups) {
  DORQ_REQUIRE_ROOT();
  ProcessSpec spec = probe({});
  spec.identity = Identity{65534, 65534, {65534, 100}};
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const ProbeReport report = reportOf(r);
  for (const char* key : {"uid", "euid", "suid", "gid", "egid", "sgid"}) {
    EXPECT_EQ(report.number(key), 65534) << key;
  }
  // The kernel keeps the list sorted.
  EXPECT_EQ(report.groups(), (std::vector<gid_t>{100, 65534}));
}

TEST_F(RunnerTest, SetUpFailuresAreStartErrors) {
  ProcessSpec missing = specFor("/nonexistent/program");
  EXPECT_EQ(runProcess(missing).startError, "execve: No such file or directory");

  ProcessSpec badDirectory = specFor("/bin/true");
  badDirectory.cwd = "/nonexistent/dir";
  EXPECT_EQ(runProcess(badDirectory).startError, "chdir: No such file or directory");

  ProcessSpec clash = specFor("/bin/true");
  clash.inherited = {{7, 0}, {7, 1}};
  EXPECT_FALSE(runProcess(clash).started());
}

TEST_F(RunnerTest, TimeoutKillsTheProgramAndWhatItLeftHoldingTheOutput) {
  // The background sleep keeps standard output open after the shell is gone.
  ProcessSpec spec = specFor("/bin/sh", {"-c", "sleep 30 & echo $!; exec sleep 30"});
  spec.timeout = std::chrono::milliseconds(300);
  const ProcessResult r = runProcess(spec);
  EXPECT_TRUE(r.timedOut) << describe(r);
  EXPECT_TRUE(r.killedBy(SIGKILL)) << describe(r);
  const pid_t background = std::stoi(r.out);
  EXPECT_TRUE(waitFor([&] {
    const std::optional<ProcessEntry> entry = processInfo(background);
    return !entry || entry->zombie();
  }));
}

TEST_F(RunnerTest, BackgroundProcessCanBeWatchedAndSignalled) {
  Process p;
  ASSERT_TRUE(p.start(probe({.pause = true}))) << p.startError();
  ASSERT_TRUE(waitFor([&] { return p.outSoFar().find("end=1\n") != std::string::npos; }));
  const ProbeReport report = ProbeReport::parse(p.outSoFar());
  EXPECT_EQ(report.number("pid"), p.pid());
  EXPECT_EQ(report.number("ppid"), getpid());
  EXPECT_EQ(report.number("pgid"), p.pid());  // a group of its own
  ASSERT_TRUE(p.signal(SIGTERM));
  const ProcessResult r = p.wait();
  EXPECT_TRUE(r.killedBy(SIGTERM)) << describe(r);
  EXPECT_FALSE(processInfo(r.pid).has_value());
}

TEST_F(RunnerTest, ProcessScanFindsDescendantsAndTheirOwner) {
  DORQ_REQUIRE_ROOT();
  ProcessSpec spec = specFor("/bin/sh", {"-c", "sleep 30 & wait"});
  spec.identity = Identity{65534, 65534, {}};
  Process p;
  ASSERT_TRUE(p.start(spec)) << p.startError();
  const auto sleeper = [&] {
    for (const ProcessEntry& entry : descendantsOf(p.pid())) {
      if (entry.comm == "sleep") {
        return entry.pid;
      }
    }
    return -1;
  };
  ASSERT_TRUE(waitFor([&] { return sleeper() > 0; }));
  const pid_t sleepPid = sleeper();
  std::vector<pid_t> owned;
  for (const ProcessEntry& entry : processesOfUid(65534)) {
    owned.push_back(entry.pid);
  }
  EXPECT_NE(std::find(owned.begin(), owned.end(), p.pid()), owned.end());
  EXPECT_NE(std::find(owned.begin(), owned.end(), sleepPid), owned.end());
  EXPECT_EQ(processInfo(sleepPid)->pgid, p.pid());
  ASSERT_TRUE(p.signalGroup(SIGKILL));
  EXPECT_TRUE(p.wait().killedBy(SIGKILL));
  EXPECT_TRUE(waitFor([&] { return !processInfo(sleepPid) || processInfo(sleepPid)->zombie(); }));
}

TEST_F(RunnerTest, DestructorEndsAProgramNobodyWaitedFor) {
  pid_t pid = -1;
  {
    Process p;
    ASSERT_TRUE(p.start(specFor("/bin/sleep", {"30"})));
    pid = p.pid();
  }
  EXPECT_FALSE(processInfo(pid).has_value());
}

}  // namespace
}  // namespace dorq_test
