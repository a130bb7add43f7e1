// dorq-client against the real set-user-ID dorq: the scheduler user runs the
// client, the client runs dorq, in a sandbox of real users and PAM services.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/harness/run_process.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

constexpr char kClientLine[] = "dorq-client: ";
// Flags for the client: blocking wait, so no run pays for dorq's polling.
constexpr char kBlocking[] = "4";

class ClientRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    ASSERT_NE(dorqBinaryPath(), nullptr);
    sandbox_ = std::make_unique<Sandbox>();
    sandbox_->writeService("su", kPamUnixService);
    sandbox_->writeService("dorq", kPamUnixService);
    copies_ = sandbox_->setuidCopy(dorqBinaryPath());
    work_ = sandbox_->root() + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
  }

  // The client as the scheduler user, against the set-user-ID copy.
  ProcessSpec clientSpec(const std::vector<std::string>& options,
                         const std::vector<std::string>& request, const std::string& stdinBytes) {
    std::vector<std::string> args = {"--dorq", copies_.setuid};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), request.begin(), request.end());
    ProcessSpec spec = specFor(DORQ_CLIENT, args);
    spec.identity = Identity{kSchedulerUser.uid, kSchedulerUser.group.gid, {}};
    spec.stdinBytes = stdinBytes;
    spec.cwd = work_;
    return spec;
  }
  ProcessResult runClient(const std::vector<std::string>& options,
                          const std::vector<std::string>& request,
                          const std::string& password = kJobUser.password) {
    return runProcess(clientSpec(options, request, password + "\n"));
  }

  std::unique_ptr<Sandbox> sandbox_;
  SetuidCopies copies_;
  std::string work_;
};

TEST_F(ClientRunTest, StartedJobShowsItsPidExitStatusAndOutput) {
  const ProcessResult r = runClient(
      {"--flags", kBlocking},
      {kJobUser.name, "/bin/sh", "-c", "echo \"pid $$\"; id -un; echo to-stderr >&2; exit 3"});
  ASSERT_TRUE(r.started()) << r.startError;
  EXPECT_TRUE(r.exitedWith(3)) << describe(r);
  // The job's pid, as the job saw it, is the pid the child pid record gave.
  const size_t space = r.out.find(' ');
  const size_t newline = r.out.find('\n');
  ASSERT_TRUE(r.out.starts_with("pid ") && newline != std::string::npos) << printable(r.out);
  const std::string pid = r.out.substr(space + 1, newline - space - 1);
  EXPECT_EQ(r.out, "pid " + pid + "\n" + kJobUser.name + "\nto-stderr\n") << printable(r.out);
  EXPECT_EQ(r.err, std::string(kClientLine) + "started, pid " + pid + ", exit status 3\n");
}

TEST_F(ClientRunTest, FlagOneKeepsTheJobsStandardErrorApart) {
  const ProcessResult r = runClient(
      {"--flags", "5"}, {kJobUser.name, "/bin/sh", "-c", "echo out; echo to-stderr >&2; exit 0"});
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.out, "out\n");
  ASSERT_TRUE(r.err.starts_with("to-stderr\n")) << printable(r.err);
  EXPECT_TRUE(r.err.ends_with(", exit status 0\n")) << printable(r.err);
}

TEST_F(ClientRunTest, WrongPasswordFromAFileIsAuthenticationFailed) {
  const std::string file = work_ + "/password";
  writeFile(file, "not the password\nignored second line\n", 0644);
  const ProcessResult r = runProcess(clientSpec({"--password-file", file, "--flags", kBlocking},
                                                {kJobUser.name, "/bin/echo", "never"}, ""));
  EXPECT_TRUE(r.exitedWith(7)) << describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(kClientLine) + "authentication failed (7)\n");
}

TEST_F(ClientRunTest, MissingCommandCouldNotBeExecuted) {
  const ProcessResult r = runClient({"--flags", kBlocking}, {kJobUser.name, "/no/such/command"});
  EXPECT_TRUE(r.exitedWith(10)) << describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(kClientLine) + "command could not be executed (10)\n");
}

TEST_F(ClientRunTest, JobKilledBySignalIsReportedWithItsPid) {
  const ProcessResult r = runClient({"--flags", kBlocking},
                                    {kJobUser.name, "/bin/sh", "-c", "echo before; kill -KILL $$"});
  EXPECT_TRUE(r.exitedWith(12)) << describe(r);
  EXPECT_EQ(r.out, "before\n");
  EXPECT_TRUE(r.err.starts_with(std::string(kClientLine) + "started, pid ")) << printable(r.err);
  EXPECT_TRUE(r.err.ends_with(", ended by a signal (12)\n")) << printable(r.err);
}

TEST_F(ClientRunTest, KillRequestStopsAnEarlierJob) {
  Process job;
  ASSERT_TRUE(job.start(clientSpec({"--flags", kBlocking}, {kJobUser.name, "/bin/sleep", "60"},
                                   std::string(kJobUser.password) + "\n")))
      << job.startError();
  pid_t sleeper = -1;
  ASSERT_TRUE(waitFor([&] {
    for (const ProcessEntry& p : processesOfUid(kJobUser.uid)) {
      if (p.comm == "sleep") {
        sleeper = p.pid;
      }
    }
    return sleeper > 0;
  }));

  const ProcessResult kill = runClient({}, {kJobUser.name, "kill", std::to_string(sleeper)});
  EXPECT_TRUE(kill.exitedWith(0)) << describe(kill);
  EXPECT_EQ(kill.err, std::string(kClientLine) + "kill request sent (0)\n");

  const ProcessResult ended = job.wait();
  EXPECT_TRUE(ended.exitedWith(12)) << describe(ended);
  EXPECT_EQ(ended.err, std::string(kClientLine) + "started, pid " + std::to_string(sleeper) +
                           ", ended by a signal (12)\n");
}

TEST_F(ClientRunTest, UnusableRequestOrDorqPathFailsInTheClient) {
  ProcessResult r = runClient({}, {kJobUser.name});
  EXPECT_TRUE(r.exitedWith(125)) << describe(r);
  r = runClient({"--flags", "x"}, {kJobUser.name, "/bin/true"});
  EXPECT_TRUE(r.exitedWith(125)) << describe(r);
  r = runClient({}, {kJobUser.name, "/bin/echo", "two\nlines"});
  EXPECT_TRUE(r.exitedWith(125)) << describe(r);
  EXPECT_NE(r.err.find("newline"), std::string::npos) << r.err;

  ProcessSpec spec = clientSpec({}, {kJobUser.name, "/bin/true"}, "pw\n");
  spec.argv[2] = work_ + "/no-dorq";
  r = runProcess(spec);
  EXPECT_TRUE(r.exitedWith(125)) << describe(r);
  EXPECT_NE(r.err.find("cannot run"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace dorq_test
