// Authentication when libpam is missing, is found under its soname only, or
// is a stand-in that lacks an entry point or fails pam_end; and the refusal
// to load anything without an effective user id of 0. Every case runs in a
// child of a process that never loads libpam itself: once a process has
// loaded it, the loader finds it by name even when its file is hidden.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

// Exit status of a child whose case could not begin as intended.
constexpr int kNotReady = 124;

struct LoaderCase {
  const char* name;
  std::function<void(Sandbox&)> prepare;
  bool policy;  // the whole policy, else one attempt against "su"
  int result;
  const char* calls;  // what the stand-in saw
};

TEST(AuthLoaderTest, LibraryAndEntryPoints) {
  DORQ_REQUIRE_ROOT();
  const LoaderCase cases[] = {
      {"NoLibraryAtAll", [](Sandbox& s) { s.hideLibpam(); }, true, kStatusNoPam, ""},
      {"OnlyTheSoname",
       [](Sandbox& s) {
         s.writeService("su", kPamPermitService);
         s.hideLibpamDevName();
       },
       false, kPamAttemptOk, ""},
      // pam_start is never called when an entry point is missing.
      {"NoSetcred", [](Sandbox& s) { s.installLibrary(DORQ_FAKE_PAM_NO_SETCRED); }, false,
       kPamAttemptOther, ""},
      {"PamEndFails", [](Sandbox& s) { s.installLibrary(DORQ_FAKE_PAM_END_FAILS); }, false,
       kPamAttemptOther,
       "pam_start su dqjob 1\npam_authenticate handle 0\npam_acct_mgmt handle 0\n"
       "pam_setcred handle 0\npam_end handle 0\n"},
  };
  for (const LoaderCase& c : cases) {
    TempDir dir;
    const std::string log = dir / "calls";
    const ChildOutcome child = runInChild([&] {
      Sandbox sandbox;
      c.prepare(sandbox);
      if (libpamLoaded()) {
        return kNotReady;
      }
      setenv("DORQ_FAKE_PAM_LOG", log.c_str(), 1);
      const int result = c.policy ? static_cast<int>(sdorqAuthenticateUser(kJobUser.name, "pass"))
                                  : sdorqPAMAuth(kJobUser.name, "pass", "su");
      return result + (libpamLoaded() ? kStillLoaded : 0);
    });
    EXPECT_EQ(child.status, c.result) << c.name << "\n" << child.output;
    EXPECT_EQ(readFile(log), c.calls) << c.name;
  }
}

TEST(AuthLoaderTest, NonZeroEffectiveUserGives5WithoutLoadingPam) {
  DORQ_REQUIRE_ROOT();
  const ChildOutcome child = runInChild([] {
    if (libpamLoaded() || seteuid(kSchedulerUser.uid) != 0) {
      return kNotReady;
    }
    const int result = static_cast<int>(sdorqAuthenticateUser(kJobUser.name, kJobUser.password));
    return result + (libpamLoaded() ? kStillLoaded : 0);
  });
  EXPECT_EQ(child.status, static_cast<int>(kStatusNotSetUid)) << child.output;
}

}  // namespace
}  // namespace dorq_test
