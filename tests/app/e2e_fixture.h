// End-to-end fixture: the real set-user-ID dorq, started by a non-root
// scheduler user inside a sandbox of real users and real PAM services.
#ifndef DORQ_TESTS_APP_E2E_FIXTURE_H
#define DORQ_TESTS_APP_E2E_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/harness/run_process.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"

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

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    ASSERT_NE(dorqBinaryPath(), nullptr);
    sandbox_ = std::make_unique<Sandbox>();
    sandbox_->writeService("su", kPamUnixService);
    sandbox_->writeService("dorq", kPamUnixService);
    copies_ = sandbox_->setuidCopy(dorqBinaryPath());
    // A place every test user may write the probe's report to.
    reports_ = sandbox_->root() + "/reports";
    mkdir(reports_.c_str(), 0777);
    chmod(reports_.c_str(), 01777);
  }

  // A spec that starts the set-user-ID copy as the scheduler user.
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
  // The probe as the command, reporting to a file of its own.
  std::string probeReportPath(const std::string& name) const { return reports_ + "/" + name; }
  std::vector<std::string> probeCommand(ProbeOptions options) const { return probeArgs(options); }

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
