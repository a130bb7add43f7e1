// Every case that loads libpam, each in a child of a process that never loads
// it (once loaded, the loader finds it even when its file is hidden), in a
// sandbox with real users and modules. The password must appear in no trace.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_auth.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

// The pause after a failed authentication, without its seconds: this
// definition replaces the C library's for the whole test binary. Each call is
// noted on standard error, where a case's trace goes, and the first one comes
// back early with one second slept, as when a signal cuts a sleep short.
extern "C" unsigned sleep(unsigned seconds) {
  static bool cutShort = false;
  fprintf(stderr, "[sleep %u]\n", seconds);
  if (!cutShort && seconds > 1) {
    cutShort = true;
    return seconds - 1;
  }
  return 0;
}

namespace dorq_test {
namespace {

constexpr int kNotReady = 124;     // the child's case could not begin as intended
constexpr int kStillLoaded = 100;  // added to a result when libpam stayed loaded

bool libpamLoaded() {
  for (const char* name : {"libpam.so", "libpam.so.0"}) {
    if (void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(handle);
      return true;
    }
  }
  return false;
}

struct ChildOutcome {
  int status = -1;  // -1 when the child did not exit (a sandbox that fails throws)
  std::string output;
};

// Runs body in a child that traces everything to standard error; its result
// gets kStillLoaded added when libpam stayed loaded after it.
ChildOutcome runInChild(const std::function<int()>& body) {
  const TempDir dir;
  const std::string errors = dir / "stderr";
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 2);
    dorqTraceLevel = static_cast<int32_t>(kTraceCategories | kTraceSinkStderr);
    const int code = libpamLoaded() ? kNotReady : body() + (libpamLoaded() ? kStillLoaded : 0);
    fflush(nullptr);
    _exit(code);
  }
  int wstatus = 0;
  const bool exited = pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus);
  return {exited ? WEXITSTATUS(wstatus) : -1, readFile(errors)};
}

enum class Library { Real, Hidden, SonameOnly, NoSetcred, EndFails };

// dorq empty: one attempt against "su", not the policy; calls: what a
// stand-in library saw.
// clang-format off
struct AuthCase { const char* name; std::string su, dorq; const char *user, *password; int result;
                  Library library = Library::Real; const char* calls = ""; };
// clang-format on

// One attempt runs each step only after the earlier ones succeeded and passes
// the last status through when it is PAM_PERM_DENIED or PAM_AUTH_ERR, else
// gives 1. The policy asks "su", then "dorq".
TEST(AuthTest, AttemptPolicyAndLoader) {
  DORQ_REQUIRE_ROOT();
  const char* const job = kJobUser.name;
  const char* const right = kJobUser.password;
  const char* const wrong = kOtherUser.password;
  const std::string pamUnix = kPamUnixService;
  const std::string permit = kPamPermitService;
  const auto debug = [](auto... steps) { return pamDebugService(steps...); };
  // clang-format off
  const AuthCase cases[] = {
      {"Right", pamUnix, "", job, right, int(PamAttempt::Ok)},
      {"WrongPassword", pamUnix, "", job, wrong, int(PamAttempt::AuthErr)},
      {"UnknownUser", pamUnix, "", kUnknownUserName, right, int(PamAttempt::Other)},
      {"AuthPermDenied", debug("perm_denied"), "", job, right, int(PamAttempt::PermDenied)},
      {"AcctPermDenied", debug("success", "perm_denied"), "", job, right, int(PamAttempt::PermDenied)},
      {"AcctExpired", debug("success", "acct_expired"), "", job, right, int(PamAttempt::Other)},
      {"CredErr", debug("success", "success", "cred_err"), "", job, right, int(PamAttempt::Other)},
      {"SuSucceeds", pamUnix, kPamDenyService, job, right, int(DorqStatus::Ok)},
      {"SuDeniesDorqSucceeds", kPamDenyService, pamUnix, job, right, int(DorqStatus::Ok)},
      {"SuOtherDorqSucceeds", debug("system_err"), pamUnix, job, right, int(DorqStatus::Ok)},
      // "su" refuses dorq itself while "dorq" works up to the password.
      {"SuPermDorqAuthErr", debug("perm_denied"), debug("auth_err"), job, right, int(DorqStatus::BadPamConf)},
      {"BothWrongPassword", pamUnix, pamUnix, job, wrong, int(DorqStatus::AuthFailed)},
      {"SuPermDorqOther", debug("perm_denied"), debug("system_err"), job, right, int(DorqStatus::AuthFailed)},
      {"SuAuthErrDorqPerm", debug("auth_err"), debug("perm_denied"), job, right, int(DorqStatus::AuthFailed)},
      {"NoLibrary", permit, permit, job, right, int(DorqStatus::NoPam), Library::Hidden},
      {"SonameOnly", permit, "", job, right, int(PamAttempt::Ok), Library::SonameOnly},
      // pam_start is never called when an entry point is missing.
      {"NoSetcred", permit, "", job, right, int(PamAttempt::Other), Library::NoSetcred},
      {"PamEndFails", permit, "", job, right, int(PamAttempt::Other), Library::EndFails,
       "pam_start su dqjob 1\npam_authenticate handle 0\npam_acct_mgmt handle 0\n"
       "pam_setcred handle 0\npam_end handle 0\n"},
  };
  // clang-format on
  for (const AuthCase& c : cases) {
    TempDir dir;
    const std::string log = dir / "calls";
    const ChildOutcome child = runInChild([&] {
      Sandbox sandbox;
      sandbox.writeService("su", c.su);
      sandbox.writeService("dorq", c.dorq);
      if (c.library == Library::Hidden) {
        sandbox.hideLibpam();
      } else if (c.library == Library::SonameOnly) {
        sandbox.hideLibpamDevName();
      } else if (c.library != Library::Real) {
        sandbox.installLibrary(c.library == Library::NoSetcred ? DORQ_FAKE_PAM_NO_SETCRED
                                                               : DORQ_FAKE_PAM_END_FAILS);
      }
      setenv("DORQ_FAKE_PAM_LOG", log.c_str(), 1);
      return c.dorq.empty() ? static_cast<int>(sdorqPAMAuth(c.user, c.password, "su"))
                            : static_cast<int>(sdorqAuthenticateUser(c.user, c.password));
    });
    EXPECT_EQ(child.status, c.result) << c.name << "\n" << child.output;
    // Only the policy's plain failure pauses, and for the whole 3 seconds.
    const bool fails = !c.dorq.empty() && c.result == int(DorqStatus::AuthFailed);
    size_t sleeps = 0;
    for (size_t at = child.output.find("[sleep"); at != std::string::npos;
         at = child.output.find("[sleep", at + 1)) {
      ++sleeps;
    }
    EXPECT_EQ(sleeps, fails ? 2U : 0U) << c.name;
    EXPECT_EQ(child.output.find("[sleep 3]\n[sleep 2]\n") != std::string::npos, fails) << c.name;
    EXPECT_EQ(readFile(log), c.calls) << c.name;
    EXPECT_EQ(child.output.find(c.password), std::string::npos) << c.name;
  }
}

TEST(AuthTest, NonZeroEffectiveUserGives5WithoutLoadingPam) {
  DORQ_REQUIRE_ROOT();
  const ChildOutcome child = runInChild([] {
    return seteuid(kSchedulerUser.uid) != 0
               ? kNotReady
               : static_cast<int>(sdorqAuthenticateUser(kJobUser.name, kJobUser.password));
  });
  EXPECT_EQ(child.status, static_cast<int>(DorqStatus::NotSetUid)) << child.output;
}

}  // namespace
}  // namespace dorq_test
