// Every row of the outcome table, observed on all three channels of the real
// set-user-ID binary (status words on standard output, the frame on standard
// error, the exit status) with real PAM modules.
#include <fcntl.h>
#include <sys/resource.h>

#include <fstream>
#include <functional>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

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
    Tweak tweak;
    std::vector<std::string> words{};
  };
  const std::vector<Case> cases = {
      // The command's own status passes through, with and without status words.
      {"exit 5, flags 2", jobRequest(2, "/bin/sh", {"-c", "exit 5"}), startedWith(5), unix},
      {"exit 3, flags 0", jobRequest(0, "/bin/sh", {"-c", "exit 3"}), {"", -1, 3}, unix},
      {"su denies, dorq service accepts", jobRequest(2, "/bin/true"), startedWith(0),
       services(kPamDenyService, kPamUnixService)},
      {"text shown before the prompt", jobRequest(2, "/bin/true"), startedWith(0),
       services(kPamDenyService, pamEchoUnixService("Welcome"))},
      // Intake failures: the frame alone, even with flags 2.
      {"negative count", withCount(2, "-2"), intakeFailure(2), unix},
      {"empty input", "", intakeFailure(3), unix},
      {"input ends in the request", withCount(2, "2") + "only one\n", intakeFailure(3), unix},
      {"line too long", std::string(131069, 'u') + "\n", intakeFailure(4), unix},
      {"option without value", withCount(2, "0"), intakeFailure(20), unix, {"-childpidfile"}},
      {"file level without file", withCount(2, "0"), intakeFailure(20), unix, {"-trclvl", "2"}},
      {"not set-user-ID",
       jobRequest(2, "/bin/true"),
       {"\x05", 5, 5},
       [this](ProcessSpec& s) { s.binary = s.argv[0] = copies_.plain; }},
      {"wrong password, flags 2",
       requestRecord(kJobUser.name, "bad", 2, "/bin/true"),
       {"\x07", 7, 7},
       unix},
      {"wrong password, flags 0", requestRecord(kJobUser.name, "bad", 0, "/bin/true"),
       intakeFailure(7), unix},
      {"pam_deny in both services",
       jobRequest(2, "/bin/true"),
       {"\x07", 7, 7},
       services(kPamDenyService, kPamDenyService)},
      {"unknown user", requestRecord(kUnknownUserName, "any", 2, "/bin/true"), childFailure(7),
       permit},
      {"setuid refused", requestRecord("dqbadid", "any", 2, "/bin/true"), childFailure(8), permit},
      {"missing command", jobRequest(2, "/no/such/command"), childFailure(10), unix},
      {"command not executable", jobRequest(0, "/etc/passwd"), intakeFailure(10), unix},
      // PAM leaves one descriptor: the job pipe cannot be made.
      {"no job pipe",
       jobRequest(2, "/bin/true"),
       {"\x0a\x0a", 10, 10},
       [this](ProcessSpec& s) {
         sandbox_->writeService("su", keepFdService("leave=1"));
         s.beforeExec = [] {
           const rlimit limit{64, 64};
           setrlimit(RLIMIT_NOFILE, &limit);
         };
       }},
      {"job killed by a signal",
       jobRequest(2, "/bin/sh", {"-c", "kill -9 $$"}),
       {std::string("\0\x0c", 2), 12, 12},
       unix},
      // Standard error open for reading only: the child cannot keep its
      // append-mode copy, and its frame has nowhere to go.
      {"no copy of standard error",
       jobRequest(2, "/bin/true"),
       {std::string(1, '\0'), -1, 13},
       [&](ProcessSpec& s) {
         unix(s);
         s.inherited.push_back({2, readOnly});
       }},
      {"kill succeeds", jobRequest(2, "kill", {std::to_string(sleeper.pid())}), startedWith(0),
       unix},
      {"kill refused", jobRequest(2, "kill", {"1"}), {"\x0e\x0e", 14, 14}, unix},
      {"kill refused, flags 0", jobRequest(0, "kill", {"1"}), intakeFailure(14), unix},
      {"bad PAM configuration",
       jobRequest(2, "/bin/true"),
       {"\x15", 21, 21},
       services(pamDebugService("perm_denied"), pamDebugService("auth_err"))},
      {"no libpam",
       jobRequest(2, "/bin/true"),
       {"\x10", 16, 16},
       [this](ProcessSpec&) { sandbox_->hideLibpam(); }},
  };
  for (const Case& c : cases) {
    ProcessSpec spec = dorqSpec(c.input, c.words);
    c.tweak(spec);
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
    const std::string trace = readFile(reports_ + "/dorq_" + std::to_string(r.pid) + ".trc");
    EXPECT_TRUE(r.exitedWith(c.code)) << c.dorq << describe(r);
    EXPECT_EQ(readProbeReport(reports_ + "/ran").has_value(), c.code == 0) << c.dorq;
    EXPECT_EQ(trace.find("Could not authenticate") != std::string::npos, c.code != 0) << c.dorq;
    for (const std::string& sink : {r.out, r.err, trace}) {
      EXPECT_EQ(sink.find(c.password), std::string::npos) << c.password;
    }
    unlink((reports_ + "/ran").c_str());
  }
}

}  // namespace
}  // namespace dorq_test
