// One PAM attempt against real Linux-PAM modules and real users in the
// sandbox: which PAM calls are made, in what order, with what result.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"

namespace dorq_test {
namespace {

constexpr char kService[] = "dqtest";

struct Step {
  const char* name;  // "pam_start", "pam_authenticate", ...
  int status;
};

struct PamCase {
  const char* name;
  std::string service;  // the text of /etc/pam.d/dqtest
  const char* user;
  const char* password;
  std::vector<Step> steps;  // every PAM call before pam_end, with its status
  int result;
};

void PrintTo(const PamCase& c, std::ostream* os) {
  *os << c.name;
}

// The whole trace of sdorqPAMAuth for an attempt that found the library and
// made the given calls.
std::vector<std::string> expectedTrace(const PamCase& c) {
  std::vector<std::string> trace = {
      "Enter", std::string("Trying to authenticate with PAM service ") + kService};
  for (const char* name :
       {"pam_start", "pam_end", "pam_authenticate", "pam_acct_mgmt", "pam_setcred"}) {
    trace.push_back(std::string("Retrieving ") + name);
  }
  trace.push_back("Sending password.");
  int last = 0;
  for (const Step& step : c.steps) {
    trace.push_back(std::string("Invoking ") + step.name);
    trace.push_back(std::string(step.name) + " returned status " + std::to_string(step.status));
    last = step.status;
  }
  trace.push_back("Invoking pam_end");
  if (c.result == kPamAttemptOther) {
    trace.push_back("Pam returned an unexpected error. Error: " + std::to_string(last) + " code.");
  }
  trace.push_back("Exit with status " + std::to_string(c.result));
  return trace;
}

bool libpamLoaded() {
  void* handle = dlopen("libpam.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

class PamAttemptTest : public ::testing::TestWithParam<PamCase> {};

TEST_P(PamAttemptTest, CallsPamInOrderAndMapsTheLastStatus) {
  DORQ_REQUIRE_ROOT();
  const PamCase& c = GetParam();
  Sandbox sandbox;
  sandbox.writeService(kService, c.service);

  TraceCapture capture;
  EXPECT_EQ(sdorqPAMAuth(c.user, c.password, kService), c.result);
  const std::string trace = capture.text();

  EXPECT_EQ(messagesOf(trace, "sdorqPAMAuth"), expectedTrace(c)) << trace;
  EXPECT_FALSE(libpamLoaded()) << "the library is still loaded after the attempt";
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    EXPECT_EQ(trace.find(user.password), std::string::npos) << "password in the trace";
  }
}

const Step kStarted{"pam_start", 0};
const Step kAuthenticated{"pam_authenticate", 0};
const Step kAccountValid{"pam_acct_mgmt", 0};

INSTANTIATE_TEST_SUITE_P(
    RealModules, PamAttemptTest,
    ::testing::Values(PamCase{"UnixRightPassword",
                              kPamUnixService,
                              kJobUser.name,
                              kJobUser.password,
                              {kStarted, kAuthenticated, kAccountValid, {"pam_setcred", 0}},
                              kPamAttemptOk},
                      PamCase{"UnixWrongPassword",
                              kPamUnixService,
                              kJobUser.name,
                              kOtherUser.password,
                              {kStarted, {"pam_authenticate", PAM_AUTH_ERR}},
                              kPamAttemptAuthErr},
                      PamCase{"UnixUnknownUser",
                              kPamUnixService,
                              kUnknownUserName,
                              kJobUser.password,
                              {kStarted, {"pam_authenticate", PAM_USER_UNKNOWN}},
                              kPamAttemptOther},
                      PamCase{"Permit",
                              kPamPermitService,
                              kJobUser.name,
                              "",
                              {kStarted, kAuthenticated, kAccountValid, {"pam_setcred", 0}},
                              kPamAttemptOk},
                      PamCase{"Deny",
                              kPamDenyService,
                              kJobUser.name,
                              kJobUser.password,
                              {kStarted, {"pam_authenticate", PAM_AUTH_ERR}},
                              kPamAttemptAuthErr},
                      PamCase{"AuthenticatePermDenied",
                              pamDebugService("perm_denied"),
                              kJobUser.name,
                              kJobUser.password,
                              {kStarted, {"pam_authenticate", PAM_PERM_DENIED}},
                              kPamAttemptPermDenied},
                      PamCase{"AccountPermDenied",
                              pamDebugService("success", "perm_denied"),
                              kJobUser.name,
                              kJobUser.password,
                              {kStarted, kAuthenticated, {"pam_acct_mgmt", PAM_PERM_DENIED}},
                              kPamAttemptPermDenied},
                      PamCase{"AccountExpiredIsUnexpected",
                              pamDebugService("success", "acct_expired"),
                              kJobUser.name,
                              kJobUser.password,
                              {kStarted, kAuthenticated, {"pam_acct_mgmt", PAM_ACCT_EXPIRED}},
                              kPamAttemptOther},
                      PamCase{
                          "SetcredFailsUnexpectedly",
                          pamDebugService("success", "success", "cred_err"),
                          kJobUser.name,
                          kJobUser.password,
                          {kStarted, kAuthenticated, kAccountValid, {"pam_setcred", PAM_CRED_ERR}},
                          kPamAttemptOther}),
    [](const ::testing::TestParamInfo<PamCase>& info) { return std::string(info.param.name); });

// pam_echo shows a text before pam_unix asks for the password: the text is
// traced and left unanswered, the prompt gets the password.
TEST(PamConversationTest, TextInfoBeforeThePasswordPromptIsIgnored) {
  DORQ_REQUIRE_ROOT();
  Sandbox sandbox;
  sandbox.writeService(kService, pamEchoUnixService("Jobs for dqjob run here"));

  TraceCapture capture;
  EXPECT_EQ(sdorqPAMAuth(kJobUser.name, kJobUser.password, kService), kPamAttemptOk);
  const std::string trace = capture.text();

  std::vector<std::string> conv;
  for (const std::string& message : messagesOf(trace, "sdorqUserConv")) {
    if (message.rfind("processing", 0) == 0 || message == "Ignored Message" ||
        message == "Provided password.") {
      conv.push_back(message);
    }
  }
  EXPECT_EQ(conv, (std::vector<std::string>{
                      "processing i 0 style 4 msg> Jobs for dqjob run here", "Ignored Message",
                      "processing i 0 style 1 msg> Password: ", "Provided password."}))
      << trace;
  EXPECT_EQ(trace.find(kJobUser.password), std::string::npos) << "password in the trace";
}

// The distribution's default hashing method is real to PAM too.
TEST(PamSandboxTest, YescryptHashesAuthenticate) {
  DORQ_REQUIRE_ROOT();
  Sandbox sandbox(HashMethod::Yescrypt);
  sandbox.writeService(kService, kPamUnixService);
  EXPECT_EQ(sdorqPAMAuth(kJobUser.name, kJobUser.password, kService), kPamAttemptOk);
}

}  // namespace
}  // namespace dorq_test
