// One PAM attempt and the policy over the "su" and "dorq" services, against
// real Linux-PAM modules and real users in a sandbox. Each case runs in a
// child with every trace line on, and the password must appear in none.
#include <gtest/gtest.h>

#include <string>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"

namespace dorq_test {
namespace {

struct AuthCase {
  const char* name;
  std::string su;
  std::string dorq;  // empty: one attempt against "su", not the policy
  const char* user;
  const char* password;
  int result;
};

// One attempt runs each step only after the earlier ones succeeded and passes
// the last status through when it is PAM_PERM_DENIED or PAM_AUTH_ERR, else
// gives 1. The policy asks "su", then "dorq".
TEST(AuthTest, AttemptAndPolicy) {
  DORQ_REQUIRE_ROOT();
  const char* const job = kJobUser.name;
  const char* const right = kJobUser.password;
  const char* const wrong = kOtherUser.password;
  const std::string pamUnix = kPamUnixService;
  // clang-format off
  const AuthCase cases[] = {
      {"Right", pamUnix, "", job, right, kPamAttemptOk},
      {"WrongPassword", pamUnix, "", job, wrong, kPamAttemptAuthErr},
      {"UnknownUser", pamUnix, "", kUnknownUserName, right, kPamAttemptOther},
      {"AuthPermDenied", pamDebugService("perm_denied"), "", job, right, kPamAttemptPermDenied},
      {"AcctPermDenied", pamDebugService("success", "perm_denied"), "", job, right,
       kPamAttemptPermDenied},
      {"AcctExpired", pamDebugService("success", "acct_expired"), "", job, right, kPamAttemptOther},
      {"CredErr", pamDebugService("success", "success", "cred_err"), "", job, right,
       kPamAttemptOther},
      {"SuSucceeds", pamUnix, kPamDenyService, job, right, kStatusOk},
      {"SuDeniesDorqSucceeds", kPamDenyService, pamUnix, job, right, kStatusOk},
      {"SuOtherDorqSucceeds", pamDebugService("system_err"), pamUnix, job, right, kStatusOk},
      // "su" refuses dorq itself while "dorq" works up to the password.
      {"SuPermDeniedDorqAuthErr", pamDebugService("perm_denied"), pamDebugService("auth_err"), job,
       right, kStatusBadPamConf},
      {"BothWrongPassword", pamUnix, pamUnix, job, wrong, kStatusAuthFailed},
      {"SuPermDeniedDorqOther", pamDebugService("perm_denied"), pamDebugService("system_err"), job,
       right, kStatusAuthFailed},
      {"SuAuthErrDorqPermDenied", pamDebugService("auth_err"), pamDebugService("perm_denied"), job,
       right, kStatusAuthFailed},
  };
  // clang-format on
  for (const AuthCase& c : cases) {
    const ChildOutcome child = runInChild([&] {
      Sandbox sandbox;
      sandbox.writeService("su", c.su);
      if (c.dorq.empty()) {
        const int result = sdorqPAMAuth(c.user, c.password, "su");
        return result + (libpamLoaded() ? kStillLoaded : 0);
      }
      sandbox.writeService("dorq", c.dorq);
      return static_cast<int>(sdorqAuthenticateUser(c.user, c.password));
    });
    EXPECT_EQ(child.status, c.result) << c.name << "\n" << child.output;
    EXPECT_EQ(child.output.find(c.password), std::string::npos) << c.name;
  }
}

}  // namespace
}  // namespace dorq_test
