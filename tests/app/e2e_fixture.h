// End-to-end fixture: the real set-user-ID dorq, started by a non-root
// scheduler user inside a sandbox of real users and real PAM services.
#ifndef DORQ_TESTS_APP_E2E_FIXTURE_H
#define DORQ_TESTS_APP_E2E_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/run_process.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {

// One request record, a line each.
inline std::string requestRecord(const std::string& user, const std::string& password, int flags,
                                 const std::string& path,
                                 const std::vector<std::string>& args = {}) {
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
inline Want intakeFailure(int code) {
  return {"", code, code};
}
inline Want childFailure(int code) {  // flags 2: the start word 10, then 0
  return {std::string("\x0a\0", 2), code, code};
}
inline Want startedWith(int exitCode) {  // flags 2
  return {std::string(1, '\0'), -1, exitCode};
}

inline void expectChannels(const ProcessResult& r, const Want& want, const std::string& what) {
  EXPECT_TRUE(r.exitedWith(want.exitCode)) << what << ": " << describe(r);
  EXPECT_EQ(printable(r.out), printable(want.out)) << what;
  EXPECT_EQ(printable(r.err), printable(want.frame < 0 ? "" : statusFrame(want.frame))) << what;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    ASSERT_NE(dorqBinaryPath(), nullptr);
    sandbox_ = std::make_unique<Sandbox>();
    sandbox_->writeService("su", kPamUnixService);
    sandbox_->writeService("dorq", kPamUnixService);
    copies_ = sandbox_->setuidCopy(dorqBinaryPath());
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

}  // namespace dorq_test

#endif  // DORQ_TESTS_APP_E2E_FIXTURE_H
