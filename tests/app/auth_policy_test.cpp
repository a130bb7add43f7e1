// The policy over the "su" and "dorq" services, against real modules: which
// service decides, the status code, and the pause that only a plain failure
// pays for (the only timed checks of this suite; each paused case costs 3 s).
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"

namespace dorq_test {
namespace {

struct PolicyCase {
  const char* name;
  std::string su;  // service texts
  std::string dorq;
  const char* password;  // for kJobUser
  bool dorqTried;
  uint32_t result;
  const char* decision;  // the policy's own trace line before its exit line
  bool paused;
};

void PrintTo(const PolicyCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<std::string> expectedTrace(const PolicyCase& c) {
  return {"Enter", "Credentials", "Verifying credentials via sdorqPAMAuth", c.decision,
          "Exiting with status " + std::to_string(c.result)};
}

class PolicyTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(PolicyTest, DecidesFromBothServices) {
  DORQ_REQUIRE_ROOT();
  const PolicyCase& c = GetParam();
  Sandbox sandbox;
  sandbox.writeService("su", c.su);
  sandbox.writeService("dorq", c.dorq);

  TraceCapture capture;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sdorqAuthenticateUser(kJobUser.name, c.password), c.result);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::string trace = capture.text();

  EXPECT_EQ(messagesOf(trace, "sdorqAuthenticateUser"), expectedTrace(c)) << trace;
  const std::vector<std::string> attempts = messagesOf(trace, "sdorqPAMAuth");
  EXPECT_EQ(countOf(attempts, "Trying to authenticate with PAM service su"), 1U);
  EXPECT_EQ(countOf(attempts, "Trying to authenticate with PAM service dorq"),
            c.dorqTried ? 1U : 0U);
  EXPECT_EQ(trace.find(c.password), std::string::npos) << "password in the trace";
  if (c.paused) {
    EXPECT_GE(elapsed, std::chrono::seconds(kAuthFailurePauseSeconds));
  } else {
    EXPECT_LT(elapsed, std::chrono::seconds(kAuthFailurePauseSeconds));
  }
}

INSTANTIATE_TEST_SUITE_P(
    RealModules, PolicyTest,
    ::testing::Values(
        PolicyCase{"SuSucceeds", kPamUnixService, kPamDenyService, kJobUser.password, false,
                   kStatusOk, "Succeeded using su service", false},
        PolicyCase{"SuDeniesDorqSucceeds", kPamDenyService, kPamUnixService, kJobUser.password,
                   true, kStatusOk, "Succeeded using dorq service", false},
        PolicyCase{"SuUnexpectedDorqSucceeds", pamDebugService("system_err"), kPamUnixService,
                   kJobUser.password, true, kStatusOk, "Succeeded using dorq service", false},
        PolicyCase{"SuPermDeniedDorqAuthErr", pamDebugService("perm_denied"),
                   pamDebugService("auth_err"), kJobUser.password, true, kStatusBadPamConf,
                   "Bad PAM conf detected, dorq can't run su.", false},
        PolicyCase{"WrongPassword", kPamUnixService, kPamUnixService, kOtherUser.password, true,
                   kStatusAuthFailed, "Could not authenticate despite best efforts", true},
        PolicyCase{"SuAuthErrDorqPermDenied", pamDebugService("auth_err"),
                   pamDebugService("perm_denied"), kJobUser.password, true, kStatusAuthFailed,
                   "Could not authenticate despite best efforts", true}),
    [](const ::testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dorq_test
