// What the job sees, checked from inside the job: identity, groups, process
// group, descriptors, inherited standard input, signals and environment.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

std::set<int> fdNumbers(const ProbeReport& report) {
  std::set<int> numbers;
  for (const auto& [fd, target] : report.fds()) {
    numbers.insert(fd);
  }
  return numbers;
}

class JobTest : public E2eTest {
 protected:
  // Runs the probe as the job through `spec` (its request is filled in).
  ProbeReport runProbe(int flags, ProcessSpec spec, const std::string& after = "") {
    spec.stdinBytes = probeRequest(flags, "probe") + after;
    last_ = runProcess(spec);
    EXPECT_TRUE(last_.exitedWith(0)) << describe(last_);
    const auto parsed = probeReport("probe");
    EXPECT_TRUE(parsed.has_value()) << describe(last_);
    return parsed.value_or(ProbeReport{});
  }
  ProcessResult last_;
};

TEST_F(JobTest, RunsAsTheUserWithItsGroupsInAProcessGroupOfItsOwn) {
  const ProbeReport r = runProbe(2, dorqSpec(""), "left for the job\n");
  for (const char* key : {"uid", "euid", "suid"}) {
    EXPECT_EQ(r.number(key), kJobUser.uid) << key;
  }
  EXPECT_EQ(r.number("gid"), kJobUser.group.gid);
  EXPECT_EQ(r.number("egid"), kJobUser.group.gid);
  EXPECT_EQ(r.groups(), (std::vector<gid_t>{kJobUser.group.gid, kJobGroupA.gid, kJobGroupB.gid}));
  EXPECT_EQ(r.number("pgid"), r.number("pid"));
  EXPECT_EQ(r.values("stdin"), std::vector<std::string>{"left for the job\n"});
  EXPECT_EQ(r.value("stdout_is_stderr"), "1");
  EXPECT_EQ(printable(last_.out), "\\x00");

  // Flags 1 leaves standard error alone; flags 4 joins it to standard output.
  EXPECT_EQ(runProbe(1, dorqSpec("")).value("stdout_is_stderr"), "0");
  const ProcessResult joined =
      runDorq(jobRequest(4, "/bin/sh", {"-c", "echo to-stderr >&2; echo to-stdout"}));
  EXPECT_TRUE(joined.exitedWith(0)) << describe(joined);
  EXPECT_EQ(joined.out, "to-stderr\nto-stdout\n");
  EXPECT_EQ(joined.err, "");
}

// dorq's own descriptors (trace file, settings file, child pid file, job
// pipe, copy of standard error, whatever a PAM module left open) never reach
// the job; those dorq was started with do. A closed standard descriptor is
// filled before dorq opens anything, so nothing of its own passes for one.
TEST_F(JobTest, SeesOnlyTheDescriptorsDorqWasStartedWith) {
  const std::string home = sandbox_->root() + "/home-inst";
  mkdir(home.c_str(), 0755);
  writeFile(home + "/env.zan", "KVL_ADMIN=/net/admin\n");
  sandbox_->writeService("su", keepFdService("keep=3"));
  int extra[2];
  ASSERT_EQ(pipe2(extra, O_CLOEXEC), 0);
  const std::vector<std::string> words = {"-trclvl",           "0x22",          "-trcfile",
                                          reports_ + "/trace", "-childpidfile", reports_ + "/pid"};
  ProcessSpec spec = dorqSpec("", words);
  spec.env.push_back("ZANTIX_HOME=" + home);
  spec.inherited.push_back({7, extra[1]});
  EXPECT_EQ(fdNumbers(runProbe(2, spec)), (std::set<int>{0, 1, 2, 7}));
  close(extra[0]);
  close(extra[1]);

  for (const bool asRoot : {false, true}) {
    for (const int closed : {1, 2}) {
      const std::string what = "descriptor " + std::to_string(closed) + (asRoot ? " by root" : "");
      ProcessSpec s = dorqSpec("", words);
      s.env.push_back("ZANTIX_HOME=" + home);
      (closed == 1 ? s.stdoutSink : s.stderrSink) = OutputSink::Closed;
      if (asRoot) {  // not in the loader's secure mode: dorq's own check fills the slot
        s.binary = s.argv[0] = copies_.plain;
        s.identity.reset();
      }
      s.stdinBytes = probeRequest(3, "closed");
      const ProcessResult r = runProcess(s);
      EXPECT_TRUE(r.exitedWith(0)) << what << ": " << describe(r);
      const auto report = probeReport("closed");
      ASSERT_TRUE(report.has_value()) << what;
      const std::map<int, std::string> fds = report->fds();
      EXPECT_EQ(fds.size(), 3U) << what;
      EXPECT_EQ(fds.count(closed) == 1 ? fds.at(closed) : "", "/dev/null") << what;
      EXPECT_EQ(readFile(reports_ + "/pid"), report->value("pid")) << what;
    }
  }
}

// The job inherits the caller's mask and ignored signals, SIGCHLD included
// (dorq takes the default action for its own wait only), in either waiting mode.
TEST_F(JobTest, InheritsTheCallersSignalMaskAndDispositions) {
  for (const int flags : {2, 6}) {
    ProcessSpec spec = dorqSpec("");
    spec.blockedSignals = {SIGUSR1};
    spec.ignoredSignals = {SIGUSR2, SIGCHLD, SIGPIPE};
    const ProbeReport r = runProbe(flags, spec);
    EXPECT_EQ(r.signals("sigblk"), (std::set<int>{SIGUSR1})) << flags;
    EXPECT_EQ(r.signals("sigign"), (std::set<int>{SIGUSR2, SIGCHLD, SIGPIPE})) << flags;
    // A job ended by a signal is still told apart from a failed wait.
    spec.stdinBytes = probeRequest(flags, "killed", {"signal=" + std::to_string(SIGTERM)});
    expectChannels(runProcess(spec), {std::string("\0\x0c", 2), 12, 12}, "SIGCHLD ignored");
  }
}

// The loader drops a set-user-ID program's unsafe variables; the job's
// library path comes from the installation home only.
TEST_F(JobTest, EnvironmentIsTheCallersWithoutWhatTheLoaderDrops) {
  const std::vector<std::string> unsafe = {"LD_PRELOAD", "LD_AUDIT", "GCONV_PATH", "LOCPATH",
                                           "LD_LIBRARY_PATH"};
  struct Case {
    std::vector<std::string> env;
    std::string expected;  // LD_LIBRARY_PATH; "": absent
  };
  const std::vector<Case> cases = {
      {{"ZANTIX_HOME=/h", "LD_LIBRARY_PATH_SDORQ=/x"}, "/h/lib32:/h/lib:/x"},
      {{"ZANTIX_HOME=/h"}, "/h/lib32:/h/lib"},
      {{"LD_LIBRARY_PATH_SDORQ=/x"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    ProcessSpec spec = dorqSpec("");
    spec.env.insert(spec.env.end(), c.env.begin(), c.env.end());
    for (const std::string& name : unsafe) {
      spec.env.push_back(name + "=/nonexistent/dq.so");
    }
    spec.env.push_back("DORQ_MARK=kept");
    const auto env = runProbe(0, spec).env();
    EXPECT_EQ(last_.err, "");  // a preload honoured would complain here
    const auto found = env.find("LD_LIBRARY_PATH");
    EXPECT_EQ(found == env.end() ? "" : found->second, c.expected);
    for (const std::string& name : unsafe) {
      EXPECT_TRUE(name == "LD_LIBRARY_PATH" || env.count(name) == 0) << name;
    }
    EXPECT_EQ(env.count("DORQ_MARK"), 1U);
    EXPECT_EQ(env.count("PATH"), 1U);
  }
}

}  // namespace
}  // namespace dorq_test
