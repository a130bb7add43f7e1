// End-to-end tests: the real set-user-ID dorq, started by a non-root
// scheduler user inside a sandbox of real users and real PAM services, seen
// through its channels (status words on standard output, the frame on
// standard error, the exit status) and from inside the job (the probe).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/run_process.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

// One request record, a line each.
std::string requestRecord(const std::string& user, const std::string& password, int flags,
                          const std::string& path, const std::vector<std::string>& args = {}) {
  std::string record = user + "\n" + password + "\n" + std::to_string(flags) + "\n" + path + "\n" +
                       std::to_string(args.size()) + "\n";
  for (const std::string& arg : args) {
    record += arg + "\n";
  }
  return record;
}

// The three channels of one outcome.
struct Want {
  std::string out;  // exact standard output
  int frame;        // the only text on standard error is this frame; -1: empty
  int exitCode;
};
Want intakeFailure(int code) {
  return {"", code, code};
}
Want childFailure(int code) {  // flags 2: the start word 10, then 0
  return {std::string("\x0a\0", 2), code, code};
}
Want startedWith(int exitCode) {  // flags 2
  return {std::string(1, '\0'), -1, exitCode};
}

void expectChannels(const ProcessResult& r, const Want& want, const std::string& what) {
  EXPECT_TRUE(r.exitedWith(want.exitCode)) << what << ": " << describe(r);
  EXPECT_EQ(printable(r.out), printable(want.out)) << what;
  EXPECT_EQ(printable(r.err), printable(want.frame < 0 ? "" : statusFrame(want.frame))) << what;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    sandbox_ = std::make_unique<Sandbox>();
    copies_ = sandbox_->dorqWithPamUnix();
    reports_ = sandbox_->root() + "/reports";  // every test user may write here
    mkdir(reports_.c_str(), 0777);
    chmod(reports_.c_str(), 01777);
  }

  // The set-user-ID copy, started as the scheduler user.
  ProcessSpec dorqSpec(const std::string& stdinBytes, const std::vector<std::string>& words = {}) {
    ProcessSpec spec = specFor(copies_.setuid, words);
    spec.identity = Identity{kSchedulerUser.uid, kSchedulerUser.group.gid, {}};
    spec.stdinBytes = stdinBytes;
    spec.cwd = reports_;
    return spec;
  }
  ProcessResult runDorq(const std::string& stdinBytes, const std::vector<std::string>& words = {}) {
    return runProcess(dorqSpec(stdinBytes, words));
  }
  // A request from the job user with the right password.
  static std::string jobRequest(int flags, const std::string& path,
                                const std::vector<std::string>& args = {}) {
    return requestRecord(kJobUser.name, kJobUser.password, flags, path, args);
  }
  // A request that runs the probe, reporting to `report` below reports_.
  std::string probeRequest(int flags, const std::string& report,
                           const std::vector<std::string>& ending = {}) {
    std::vector<std::string> args{reports_ + "/" + report};
    unlink(args[0].c_str());
    args.insert(args.end(), ending.begin(), ending.end());
    return jobRequest(flags, jobProbePath(), args);
  }
  std::optional<ProbeReport> probeReport(const std::string& report) {
    return readProbeReport(reports_ + "/" + report);
  }
  // A service whose module leaves descriptors open: "keep=N" or "leave=N".
  static std::string keepFdService(const std::string& argument) {
    return std::string("auth required ") + DORQ_PAM_KEEPFD + " " + argument +
           "\naccount required pam_permit.so\n";
  }

  std::unique_ptr<Sandbox> sandbox_;
  SetuidCopies copies_;
  std::string reports_;
};

// Every row of the outcome table, on all three channels, with real PAM modules.
class OutcomeTest : public E2eTest {};

std::string withCount(int flags, const std::string& count) {
  return std::string(kJobUser.name) + "\n" + kJobUser.password + "\n" + std::to_string(flags) +
         "\n/bin/true\n" + count + "\n";
}

TEST_F(OutcomeTest, EveryOutcomeOnItsChannels) {
  // A user the password database knows, but whose id setuid refuses.
  std::ofstream(sandbox_->root() + "/passwd", std::ios::app)
      << "dqbadid:x:4294967295:" << kJobUser.group.gid << "::/:/bin/sh\n";
  const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  ProcessSpec job = specFor("/bin/sleep", {"60"});
  job.identity = Identity{kJobUser.uid, kJobUser.group.gid, {}};
  Process sleeper;
  ASSERT_TRUE(sleeper.start(job)) << sleeper.startError();

  using Tweak = std::function<void(ProcessSpec&)>;
  const auto services = [this](const std::string& su, const std::string& dorq) {
    return [this, su, dorq](ProcessSpec&) {
      sandbox_->writeService("su", su);
      sandbox_->writeService("dorq", dorq);
    };
  };
  const Tweak unix = services(kPamUnixService, kPamUnixService);
  const Tweak permit = services(kPamPermitService, kPamUnixService);
  struct Case {
    std::string what;
    std::string input;
    Want want;
    Tweak tweak = nullptr;  // after both services are pam_unix
    std::vector<std::string> words{};
  };
  const char* const kTrue = "/bin/true";
  // Only root may run this one; the path search and the exec happen as the
  // user, so it must fail.
  const std::string rootOnly = reports_ + "/root-only";
  writeFile(rootOnly, "#!/bin/sh\nexit 0\n", 0700);
  // A script without an interpreter line is run by the shell.
  const std::string bare = reports_ + "/bare-script";
  writeFile(bare, "exit 4\n", 0755);
  const std::vector<Case> cases = {
      // The command's own status passes through, with and without status words.
      {"exit 5, flags 2", jobRequest(2, "/bin/sh", {"-c", "exit 5"}), startedWith(5)},
      {"exit 3, flags 0", jobRequest(0, "/bin/sh", {"-c", "exit 3"}), {"", -1, 3}},
      // "su" denies, the "dorq" service accepts after showing text.
      {"text before the prompt", jobRequest(2, kTrue), startedWith(0),
       services(kPamDenyService, pamEchoUnixService("Welcome"))},
      // Intake failures: the frame alone, even with flags 2.
      {"negative count", withCount(2, "-2"), intakeFailure(2)},
      {"empty input", "", intakeFailure(3)},
      {"input ends in the request", withCount(2, "2") + "only one\n", intakeFailure(3)},
      {"line too long", std::string(131069, 'u') + "\n", intakeFailure(4)},
      {"option without value", withCount(2, "0"), intakeFailure(20), nullptr, {"-childpidfile"}},
      {"level without file", withCount(2, "0"), intakeFailure(20), nullptr, {"-trclvl", "2"}},
      {"not set-user-ID",
       jobRequest(2, kTrue),
       {"\x05", 5, 5},
       [this](ProcessSpec& s) { s.binary = s.argv[0] = copies_.plain; }},
      {"wrong password", requestRecord(kJobUser.name, "bad", 2, kTrue), {"\x07", 7, 7}},
      {"unknown user", requestRecord(kUnknownUserName, "any", 2, kTrue), childFailure(7), permit},
      {"setuid refused", requestRecord("dqbadid", "any", 2, kTrue), childFailure(8), permit},
      {"missing command", jobRequest(2, "/no/such/command"), childFailure(10)},
      {"command only root may run", jobRequest(2, rootOnly), childFailure(10)},
      {"command found along PATH", jobRequest(2, "sh", {"-c", "exit 6"}), startedWith(6)},
      {"script without interpreter line", jobRequest(2, bare), startedWith(4)},
      {"command not executable", jobRequest(0, "/etc/passwd"), intakeFailure(10)},
      // PAM leaves one descriptor: the job pipe cannot be made.
      {"no job pipe",
       jobRequest(2, kTrue),
       {"\x0a\x0a", 10, 10},
       [this](ProcessSpec& s) {
         sandbox_->writeService("su", keepFdService("leave=1"));
         s.beforeExec = [] {
           const rlimit limit{64, 64};
           setrlimit(RLIMIT_NOFILE, &limit);
         };
       }},
      {"job killed", jobRequest(2, "/bin/sh", {"-c", "kill -9 $$"}), {{"\0\x0c", 2}, 12, 12}},
      // Standard error open for reading only: the child cannot keep its
      // append-mode copy, and its frame has nowhere to go.
      {"no copy of standard error",
       jobRequest(2, kTrue),
       {{"\0", 1}, -1, 13},
       [&](ProcessSpec& s) {
         s.inherited.push_back({2, readOnly});
       }},
      {"kill succeeds", jobRequest(2, "kill", {std::to_string(sleeper.pid())}), startedWith(0)},
      {"kill refused", jobRequest(2, "kill", {"1"}), {"\x0e\x0e", 14, 14}},
      {"bad PAM configuration",
       jobRequest(2, kTrue),
       {"\x15", 21, 21},
       services(pamDebugService("perm_denied"), pamDebugService("auth_err"))},
      {"no libpam",
       jobRequest(2, kTrue),
       {"\x10", 16, 16},
       [this](ProcessSpec&) { sandbox_->hideLibpam(); }},
  };
  for (const Case& c : cases) {
    ProcessSpec spec = dorqSpec(c.input, c.words);
    unix(spec);
    if (c.tweak) {
      c.tweak(spec);
    }
    expectChannels(runProcess(spec), c.want, c.what);
  }
  close(readOnly);
  EXPECT_TRUE(sleeper.wait().killedBy(SIGKILL));
}

// PAM answers with many values besides success and the two failures the
// policy names; only PAM_SUCCESS may run the job. No trace sink ever holds
// the password, right or wrong.
TEST_F(OutcomeTest, OnlySuccessRunsTheJobAndNoTraceHoldsThePassword) {
  struct Case {
    std::string su;
    std::string dorq;
    std::string password;
    int code;
  };
  const std::vector<Case> cases = {
      // A program that tests for failure instead of success would run these.
      {pamDebugService("incomplete"), pamDebugService("success", "new_authtok_reqd"), "Pw 1", 7},
      {pamDebugService("ignore"), pamDebugService("success", "success", "cred_err"), "Pw 2", 7},
      {kPamDenyService, pamEchoUnixService("text"), kJobUser.password, 0},
      {kPamDenyService, pamEchoUnixService("text"), "Wrong-Pw 777", 7},
  };
  for (const Case& c : cases) {
    sandbox_->writeService("su", c.su);
    sandbox_->writeService("dorq", c.dorq);
    const ProcessResult r =
        runDorq(requestRecord(kJobUser.name, c.password, 2, jobProbePath(), {reports_ + "/ran"}),
                {"-trcfile", reports_ + "/t", "-trclvl", "0xFFFF"});
    const std::string traceFile = reports_ + "/dorq_" + std::to_string(r.pid) + ".trc";
    const std::string trace = readFile(traceFile);
    EXPECT_TRUE(r.exitedWith(c.code)) << c.dorq << describe(r);
    // Written with the caller's rights: the caller's own file.
    struct stat st {};
    ASSERT_EQ(stat(traceFile.c_str(), &st), 0);
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid),
              std::pair(kSchedulerUser.uid, kSchedulerUser.group.gid));
    EXPECT_EQ(readProbeReport(reports_ + "/ran").has_value(), c.code == 0) << c.dorq;
    EXPECT_EQ(trace.find("Could not authenticate") != std::string::npos, c.code != 0) << c.dorq;
    for (const std::string& sink : {r.out, r.err, trace}) {
      EXPECT_EQ(sink.find(c.password), std::string::npos) << c.password;
    }
    unlink((reports_ + "/ran").c_str());
  }
}

// What the job sees, checked from inside the job: identity, groups, process
// group, descriptors, inherited standard input, signals and environment.

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
  EXPECT_EQ(r.value("fd.2"), r.value("fd.1"));  // one pipe
  EXPECT_EQ(printable(last_.out), "\\x00");

  // Flags 1 leaves standard error alone; flags 4 joins it to standard output.
  const ProbeReport apart = runProbe(1, dorqSpec(""));
  EXPECT_NE(apart.value("fd.2"), apart.value("fd.1"));
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
  std::set<int> numbers;
  for (const auto& [fd, target] : runProbe(2, spec).fds()) {
    numbers.insert(fd);
  }
  EXPECT_EQ(numbers, (std::set<int>{0, 1, 2, 7}));
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
      unlink((reports_ + "/pid").c_str());  // each caller writes only a pid file of its own
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

// Kill requests against real process groups, the orphaned run, and the
// child pid record.
class KillTest : public E2eTest {};

size_t groupSize(pid_t group) {
  const std::vector<ProcessEntry> all = listProcesses();
  return static_cast<size_t>(std::count_if(all.begin(), all.end(),
                                           [&](const ProcessEntry& p) { return p.pgid == group; }));
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
  for (const std::string& arg :
       {std::to_string(other.pid()), std::to_string(gone.pid), std::string("0"), std::string("1"),
        std::string("-1"), std::string("abc"), std::string("-2147483648"), std::string()}) {
    const std::vector<std::string> args =
        arg.empty() ? std::vector<std::string>{} : std::vector{arg};
    expectChannels(runDorq(jobRequest(2, "kill", args)), {"\x0e\x0e", 14, 14}, "kill " + arg);
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
  ASSERT_EQ(chown(old.c_str(), kSchedulerUser.uid, kSchedulerUser.group.gid), 0);
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
      EXPECT_EQ(st.st_uid, kSchedulerUser.uid);
    } else if (file == old) {
      EXPECT_EQ(readFile(old), pid + std::string("XXXXXXXXXXXXXXXXXXXXtail").substr(pid.size()));
    }
  }
  EXPECT_EQ(readFile(target), "untouched");
}

// Hostile requests and a hostile system: over-long lines, NUL bytes, absurd
// argument counts, closed or broken standard streams, a full file system and
// a refused fork, each checked on the channels.
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

class HostileTest : public E2eTest {};

// Each line at the limit (131068 characters) is accepted, one more is
// refused with 4 whatever comes after; a last line needs no newline.
TEST_F(HostileTest, EveryLineAtAndAboveItsLimit) {
  sandbox_->writeService("su", kPamPermitService);  // any password
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
  sandbox_->writeService("su", kPamPermitService);  // any password
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
    int broken[2] = {-1, -1};  // a pipe whose reader has gone: the scheduler went away
    if (c.damage != kClosed) {
      ASSERT_EQ(pipe2(broken, O_CLOEXEC), 0);
      close(broken[0]);
    }
    if (c.damage == kClosed && c.fd == 0) {
      spec.stdinSource = StdinSource::Closed;
    } else if (c.damage == kClosed) {
      (c.fd == 1 ? spec.stdoutSink : spec.stderrSink) = OutputSink::Closed;
    } else {
      spec.inherited.push_back({c.fd, broken[1]});
    }
    if (c.damage == kBrokenSigpipeIgnored) {
      spec.ignoredSignals = {SIGPIPE};
    }
    const ProcessResult r = runProcess(spec);
    close(broken[1]);
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

// A modest load: 48 requests of every kind, 4 at a time, through the real
// set-user-ID binary. Every run ends as it should, and nothing is left: no
// process of a test user, no zombie, no descriptor of the test.
// Tests that run beside this one live in mount namespaces of their own.
size_t ownProcessesOfTestUsers() {
  const auto mountNamespace = [](pid_t pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/mnt", error);
  };
  size_t found = 0;
  for (const ProcessEntry& p : listProcesses()) {
    const bool testUser = p.ruid == kJobUser.uid || p.euid == kJobUser.uid ||
                          p.ruid == kSchedulerUser.uid || p.euid == kSchedulerUser.uid;
    found += testUser && mountNamespace(p.pid) == mountNamespace(getpid()) ? 1 : 0;
  }
  return found;
}

class LoadTest : public E2eTest {
 protected:
  void run(int index) {
    // Every kind with every flags value: polling or blocking, with or without status words.
    const int flags = (index / 4 % 4) * 2;
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
