// Every way a run can end, observed on all three channels of the real
// set-user-ID binary: status words on standard output, the frame on standard
// error, the exit status.
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "tests/app/e2e_fixture.h"

namespace dorq_test {
namespace {

using std::chrono::seconds;

struct Channels {
  std::string out;  // exact bytes on standard output
  int frame;        // the only frame on standard error; -1: standard error empty
  int exitCode;
};

void expectChannels(const ProcessResult& r, const Channels& want, const std::string& what) {
  ASSERT_TRUE(r.started()) << r.startError;
  EXPECT_TRUE(r.exitedWith(want.exitCode)) << what << ": " << describe(r);
  EXPECT_EQ(printable(r.out), printable(want.out)) << what;
  if (want.frame < 0) {
    EXPECT_EQ(r.err, "") << what;
  } else {
    EXPECT_EQ(r.err, statusFrame(want.frame)) << what;
  }
}

std::string withCount(int flags, const std::string& count) {
  return std::string(kJobUser.name) + "\n" + kJobUser.password + "\n" + std::to_string(flags) +
         "\n/bin/true\n" + count + "\n";
}

class OutcomeTest : public E2eTest {};

TEST_F(OutcomeTest, IntakeFailuresWriteTheFrameAloneEvenWithFlags2) {
  struct Case {
    std::string input;
    std::vector<std::string> words;
    int code;
  };
  const std::vector<Case> cases = {
      {"", {}, 3},
      {std::string(kJobUser.name) + "\n" + kJobUser.password + "\n2\n", {}, 3},
      {withCount(2, "-2"), {}, 2},
      {withCount(2, "2") + "only one\n", {}, 3},
      {std::string(131069, 'u') + "\n", {}, 4},
      {withCount(2, "1") + std::string(131069, 'a'), {}, 4},
      {withCount(2, "0"), {"-trclvl", "2"}, 20},
      {withCount(2, "0"), {"-childpidfile"}, 20},
  };
  for (const Case& c : cases) {
    expectChannels(runDorq(c.input, c.words), {"", c.code, c.code},
                   "code " + std::to_string(c.code));
  }
}

TEST_F(OutcomeTest, AcceptedLineLimitRunsTheCommand) {
  const std::string arg(131068, 'a');
  expectChannels(runDorq(jobRequest(2, "/bin/true", {arg})), {std::string(1, '\0'), -1, 0},
                 "131068 characters");
}

TEST_F(OutcomeTest, WrongPasswordGives7AfterThePause) {
  for (const int flags : {0, 2}) {
    const ProcessResult r =
        runDorq(requestRecord(kJobUser.name, "not the password", flags, "/bin/true"));
    expectChannels(r, {flags == 2 ? "\x07" : "", 7, 7}, "flags " + std::to_string(flags));
    EXPECT_GE(r.wallTime, seconds(3));
  }
}

TEST_F(OutcomeTest, WithoutTheSetUserIdBitGives5) {
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  spec.binary = copies_.plain;
  spec.argv[0] = copies_.plain;
  expectChannels(runProcess(spec), {"\x05", 5, 5}, "plain copy");
}

TEST_F(OutcomeTest, HiddenLibpamGives16AtOnce) {
  sandbox_->hideLibpam();
  const ProcessResult r = runDorq(jobRequest(2, "/bin/true"));
  expectChannels(r, {"\x10", 16, 16}, "no libpam");
  EXPECT_LT(r.wallTime, seconds(3));
}

TEST_F(OutcomeTest, PermissionDeniedThenAuthErrorGives21AtOnce) {
  sandbox_->writeService("su", pamDebugService("perm_denied"));
  sandbox_->writeService("dorq", pamDebugService("auth_err"));
  const ProcessResult r = runDorq(jobRequest(2, "/bin/true"));
  expectChannels(r, {"\x15", 21, 21}, "bad PAM configuration");
  EXPECT_LT(r.wallTime, seconds(3));
}

TEST_F(OutcomeTest, CommandExitStatusPassesThroughWithoutFrame) {
  expectChannels(runDorq(jobRequest(2, "/bin/sh", {"-c", "exit 5"})), {std::string(1, '\0'), -1, 5},
                 "exit 5 with flags 2");
  expectChannels(runDorq(jobRequest(0, "/bin/sh", {"-c", "exit 3"})), {"", -1, 3},
                 "exit 3 with flags 0");
}

TEST_F(OutcomeTest, CommandEndedBySignalGives12) {
  expectChannels(runDorq(jobRequest(2, "/bin/sh", {"-c", "kill -9 $$"})),
                 {std::string("\0\x0c", 2), 12, 12}, "killed job");
}

TEST_F(OutcomeTest, ChildFailuresBeforeTheCommandReportThroughTheJobPipe) {
  // A user that the password database knows, but whose user id cannot be
  // taken: setuid refuses the id -1.
  std::ofstream(sandbox_->root() + "/passwd", std::ios::app)
      << "dqbadid:x:4294967295:" << kJobUser.group.gid << "::/:/bin/sh\n";
  sandbox_->writeService("su", kPamPermitService);
  struct Case {
    std::string user;
    std::string path;
    int code;
  };
  const std::vector<Case> cases = {
      {kUnknownUserName, "/bin/true", 7},
      {"dqbadid", "/bin/true", 8},
      {kJobUser.name, "/no/such/command", 10},
      {kJobUser.name, "/etc/passwd", 10},
  };
  for (const Case& c : cases) {
    expectChannels(runDorq(requestRecord(c.user, "any", 2, c.path)),
                   {std::string("\x0a\0", 2), c.code, c.code}, c.user + " " + c.path);
    expectChannels(runDorq(requestRecord(c.user, "any", 0, c.path)), {"", c.code, c.code},
                   c.user + " " + c.path + " flags 0");
  }
}

// A PAM module used up all but one descriptor the limit allows (PAM itself
// needs one to log the transaction), so the job pipe cannot be made: status word 10 from the
// execution step and again from the driver.
TEST_F(OutcomeTest, JobPipeThatCannotBeCreatedGives10) {
  sandbox_->writeService("su", keepFdService("leave=1"));
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  spec.limits.push_back({RLIMIT_NOFILE, 64, 64});
  expectChannels(runProcess(spec), {"\x0a\x0a", 10, 10}, "job pipe");
}

// Standard error open for reading only: the child cannot open its private
// append-mode copy of it, ends with 13 without reporting through the job pipe
// (the parent saw the pipe close without a code), and its frame has nowhere
// to go.
TEST_F(OutcomeTest, NoCopyOfStandardErrorGives13) {
  const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  spec.inherited.push_back({2, readOnly});
  const ProcessResult r = runProcess(spec);
  close(readOnly);
  EXPECT_TRUE(r.exitedWith(13)) << describe(r);
  EXPECT_EQ(printable(r.out), printable(std::string(1, '\0')));
}

TEST_F(OutcomeTest, KillRequestOutcomes) {
  ProcessSpec jobSpec = specFor("/bin/sleep", {"60"});
  jobSpec.identity = Identity{kJobUser.uid, kJobUser.group.gid, {}};
  Process job;
  ASSERT_TRUE(job.start(jobSpec)) << job.startError();

  expectChannels(runDorq(jobRequest(2, "kill", {std::to_string(job.pid())})),
                 {std::string(1, '\0'), -1, 0}, "kill succeeds");
  EXPECT_TRUE(job.wait().killedBy(SIGKILL));
  expectChannels(runDorq(jobRequest(2, "kill", {"1"})), {"\x0e\x0e", 14, 14}, "kill fails");
  expectChannels(runDorq(jobRequest(0, "kill", {"1"})), {"", 14, 14}, "kill fails, flags 0");
}

}  // namespace
}  // namespace dorq_test
