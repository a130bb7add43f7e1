// Hostile requests and a hostile system: over-long lines, NUL bytes, absurd
// argument counts, closed or broken standard streams, a full file system and
// a refused fork, each checked on the channels.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
constexpr bool kSanitizedBuild = __has_feature(address_sanitizer);
#else
constexpr bool kSanitizedBuild = false;
#endif

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

class HostileTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    // Most cases are not about the password: PAM accepts it at once.
    if (!HasFatalFailure()) {
      sandbox_->writeService("su", kPamPermitService);
    }
  }
};

// Each line at the limit (131068 characters) is accepted, one more is
// refused with 4 whatever comes after; a last line needs no newline.
TEST_F(HostileTest, EveryLineAtAndAboveItsLimit) {
  const std::vector<std::string> base = {kJobUser.name, "pw", "2", "/bin/true", "1", "x"};
  struct Case {
    size_t line;
    std::string atLimit;  // 131068 characters that still mean what the line is for
    Want accepted;
  };
  const std::vector<Case> cases = {
      {0, std::string(131068, 'u'), childFailure(7)},  // no such user
      {1, std::string(131068, 'p'), startedWith(0)},
      {2, std::string(131067, '0') + "2", startedWith(0)},
      {3, std::string(131060, '/') + "bin/true", childFailure(10)},  // too long to execute
      {4, std::string(131067, '0') + "1", startedWith(0)},
      {5, std::string(131068, 'a'), startedWith(0)},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = base;
    lines[c.line] = c.atLimit;
    const std::string what = "line " + std::to_string(c.line);
    expectChannels(runDorq(joinLines(lines)), c.accepted, what);
    lines[c.line] += "z";
    expectChannels(runDorq(joinLines(lines)), intakeFailure(4), what + " over the limit");
  }
  expectChannels(runDorq(joinLines({base.begin(), base.end() - 1}) + std::string(131068, 'a')),
                 startedWith(0), "last line at the limit without newline");
}

// A NUL byte ends a line for every later use; a carriage return stays part
// of it. "su" denies permission and the real check runs in "dorq", so a
// wrong password shows at once as 21.
TEST_F(HostileTest, NulAndCarriageReturn) {
  sandbox_->writeService("su", pamDebugService("perm_denied"));
  const std::string pw = kJobUser.password;
  const std::string nul(1, '\0');
  struct Case {
    std::vector<std::string> lines;
    Want want;
  };
  const std::vector<Case> cases = {
      {{"dqjob" + nul + "dqother", pw, "0", "/usr/bin/id", "1", "-u"},
       {std::to_string(kJobUser.uid) + "\n", -1, 0}},
      {{"dqjob", pw + nul + "tail", "2", "/bin/true", "0"}, startedWith(0)},
      {{"dqjob", pw + "\r", "2", "/bin/true", "0"}, {"\x15", 21, 21}},
      {{"dqjob", pw, "2" + nul + "4", "/bin/true", "0"}, startedWith(0)},
      {{"dqjob", pw, "2", "/bin/true" + nul + "/x", "0"}, startedWith(0)},
      {{"dqjob", pw, "2", "/bin/true\r", "0"}, childFailure(10)},
      {{"dqjob", pw, "2", "kill" + nul + "x", "0"}, {"\x0e\x0e", 14, 14}},
      {{"dqjob", pw, "2", "/bin/sh", "2" + nul + "9", "-c", "exit 6"}, startedWith(6)},
      {{"dqjob", pw, "2", "/bin/sh", "2", "-c", "exit 6" + nul + "; exit 9"}, startedWith(6)},
  };
  for (const Case& c : cases) {
    expectChannels(runDorq(joinLines(c.lines)), c.want, printable(joinLines(c.lines)));
  }
  // User names are only looked up: separators of paths and account records name nobody.
  sandbox_->writeService("su", kPamPermitService);
  for (const char* name : {"dqjob/x", "../dqjob", "dqjob:x:0:0::/:/bin/sh", "dqjob "}) {
    expectChannels(runDorq(requestRecord(name, "any", 2, "/bin/true")), childFailure(7), name);
  }
}

// The vector has count + 2 slots, computed in 32 bits.
TEST_F(HostileTest, ArgumentCounts) {
  const std::string head = std::string(kJobUser.name) + "\npw\n2\n/bin/true\n";
  struct Case {
    std::string count;
    std::vector<Want> anyOf;
  };
  // A huge vector cannot be had (2), or the input ends first (3).
  std::vector<Case> cases = {
      {"-3\n", {intakeFailure(2), intakeFailure(3)}},
      {"4294967297\nx\n", {startedWith(0)}},  // wraps to 1
      {"abc\n", {startedWith(0)}},            // 0
      {"3\nx\ny\n", {intakeFailure(3)}},
  };
  // The sanitizer's allocator would make 16 GiB of address space real.
  if (!kSanitizedBuild) {
    cases.push_back({"2147483647\nx\n", {intakeFailure(2), intakeFailure(3)}});
  }
  for (const Case& c : cases) {
    const ProcessResult r = runDorq(head + c.count);
    bool matched = false;
    for (const Want& want : c.anyOf) {
      matched |= r.exitedWith(want.exitCode) && r.out == want.out &&
                 r.err == (want.frame < 0 ? "" : statusFrame(want.frame));
    }
    EXPECT_TRUE(matched) << c.count << describe(r);
  }
  // Count -1: the terminator takes slot 0, so the command runs with an empty
  // vector, which the kernel may turn into one empty string.
  ProcessSpec spec = dorqSpec(std::string(kJobUser.name) + "\npw\n2\n" + jobProbePath() + "\n-1\n");
  spec.env.push_back("DORQ_PROBE_REPORT=" + reports_ + "/argc");
  expectChannels(runProcess(spec), startedWith(0), "count -1");
  const auto report = probeReport("argc");
  ASSERT_TRUE(report.has_value());
  EXPECT_TRUE(report->values("argv").empty() ||
              report->values("argv") == std::vector<std::string>{""});
  // dorq itself started with argc 0: entries that look like options stay
  // environment entries (were they read as options, "-trclvl 2" would fail).
  ProcessSpec noArgs = dorqSpec(jobRequest(2, "/bin/true"));
  noArgs.argv.clear();
  noArgs.env = {"-childpidfile", reports_ + "/from-env", "-trclvl", "2", "PATH=/bin"};
  expectChannels(runProcess(noArgs), startedWith(0), "dorq with argc 0");
  EXPECT_EQ(readFile(reports_ + "/from-env"), "");
}

// A pipe whose reader has gone: the scheduler went away.
int brokenPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return -1;
  }
  close(fds[0]);
  return fds[1];
}

// Whatever happened to the caller's standard streams, the exit status is
// the job's own (5) or the start failure's (10). The C library of a
// set-user-ID program fills a closed slot with /dev/null (stdin: /dev/full)
// opened the wrong way, so writes there fail; without flags value 1 the
// child cannot keep its copy of such a standard error and ends with 13.
TEST_F(HostileTest, ClosedAndBrokenStandardStreams) {
  enum Damage { kClosed, kBroken, kBrokenSigpipeIgnored };
  struct Case {
    int fd;
    Damage damage;
    int flags;
    bool runs;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {0, kClosed, 2, true, 3},  // the request cannot be read
      {1, kClosed, 2, true, 5},
      {1, kClosed, 2, false, 10},
      {2, kClosed, 3, true, 5},
      {2, kClosed, 3, false, 10},
      {2, kClosed, 2, true, 13},
      {1, kBroken, 2, true, 5},
      {1, kBroken, 2, false, 10},
      {2, kBroken, 0, false, 10},
      {2, kBroken, 3, false, 10},
      {1, kBrokenSigpipeIgnored, 2, false, 10},
      {2, kBrokenSigpipeIgnored, 0, false, 10},
  };
  for (const Case& c : cases) {
    const std::string what = "fd " + std::to_string(c.fd) + " damage " + std::to_string(c.damage) +
                             " flags " + std::to_string(c.flags);
    ProcessSpec spec = dorqSpec(c.runs ? probeRequest(c.flags, "streams", {"exit=5"})
                                       : jobRequest(c.flags, "/no/such/command"));
    unlink((reports_ + "/streams").c_str());
    const int broken = c.damage == kClosed ? -1 : brokenPipe();
    if (c.damage == kClosed && c.fd == 0) {
      spec.stdinSource = StdinSource::Closed;
    } else if (c.damage == kClosed) {
      (c.fd == 1 ? spec.stdoutSink : spec.stderrSink) = OutputSink::Closed;
    } else {
      spec.inherited.push_back({c.fd, broken});
    }
    if (c.damage == kBrokenSigpipeIgnored) {
      spec.ignoredSignals = {SIGPIPE};
    }
    const ProcessResult r = runProcess(spec);
    close(broken);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << what << ": " << describe(r);
    EXPECT_EQ(probeReport("streams").has_value(), c.exitCode == 5) << what;
  }
}

// Trace file and child pid file on a file system with no block or no inode
// left: they stay empty, and nothing else changes.
TEST_F(HostileTest, FullFileSystemUnderTraceAndChildPidFile) {
  const std::string full = reports_ + "/full";
  ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
  for (const char* options : {"size=4k,mode=0755", "size=64k,nr_inodes=2,mode=0755"}) {
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options), 0);
    for (int i = 0;; ++i) {  // take what is left
      const int fd = open((full + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0600);
      const std::string block(512, 'f');
      size_t taken = 0;
      while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
        taken += block.size();
      }
      close(fd);
      if (fd < 0 || taken == 0) {
        break;
      }
    }
    const ProcessResult r = runDorq(
        probeRequest(2, "report", {"exit=3"}),
        {"-trclvl", "0x3A", "-trcfile", full + "/trace", "-childpidfile", full + "/job.pid"});
    expectChannels(r, startedWith(3), options);
    EXPECT_TRUE(probeReport("report").has_value()) << options;
    EXPECT_EQ(readFile(full + "/dorq_" + std::to_string(r.pid) + ".trc"), "") << options;
    EXPECT_EQ(readFile(full + "/job.pid"), "") << options;
    umount2(full.c_str(), MNT_DETACH);
  }
}

// dorq joins a pids cgroup that admits one task just before its exec (through
// cgroup.procs opened by root, passed as descriptor 9): its fork is refused.
TEST_F(HostileTest, RefusedForkGives9) {
  std::string parent = "/sys/fs/cgroup";
  if (access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0) {
    if (readFile(parent + "/cgroup.subtree_control").find("pids") == std::string::npos) {
      writeFile(parent + "/cgroup.subtree_control", "+pids");
    }
  } else {
    parent = "/sys/fs/cgroup/pids";
  }
  const std::string dir = parent + "/dorq-fork-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  writeFile(dir + "/pids.max", "1");
  const int procs = open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(procs, 0) << strerror(errno);
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  // The leak check at exit needs a thread, which the cgroup would refuse too.
  spec.env.push_back("ASAN_OPTIONS=detect_leaks=0");
  spec.inherited.push_back({9, procs});
  spec.beforeExec = [] {
    (void)!write(9, "0", 1);
    close(9);
  };
  const ProcessResult r = runProcess(spec);
  close(procs);
  expectChannels(r, {"\x09\x09", 9, 9}, "fork refused");
  EXPECT_EQ(rmdir(dir.c_str()), 0) << strerror(errno);
}

}  // namespace
}  // namespace dorq_test
