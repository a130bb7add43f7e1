// The pause after a failed authentication, which the end-to-end tests cannot
// see without timing it: this definition of sleep replaces the C library's
// for the whole test binary. It notes each call and cuts the first of each
// case short with one second slept, as a signal would. After every case the
// library must be unloaded again. The policy runs in
// process against real pam_debug services in a private mount namespace; the
// other outcomes of the policy are end-to-end tests (tests/e2e/pam.bats).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <string>
#include <vector>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/support/support.h"

namespace {
std::vector<unsigned> sleeps;
}  // namespace

extern "C" unsigned sleep(unsigned seconds) {
  sleeps.push_back(seconds);
  return sleeps.size() == 1 && seconds > 1 ? seconds - 1 : 0;
}

namespace dorq_test {
namespace {

std::string debug(const char* auth) {
  return std::string("auth requisite pam_debug.so auth=") + auth +
         "\naccount requisite pam_debug.so\n";
}

TEST(AuthPause, OnlyThePlainFailurePausesAndForTheWholeThreeSeconds) {
  DORQ_REQUIRE_ROOT();
  ASSERT_TRUE(enterPrivateMountNamespace());
  const TempDir pamd;
  ASSERT_TRUE(bindMount(pamd.path(), "/etc/pam.d"));
  const std::vector<unsigned> paused = {3, 2};
  // su, dorq, result; an empty dorq: no library at all.
  const struct {
    const char *su, *dorq;
    DorqStatus result;
  } cases[] = {
      {"success", "", DorqStatus::NoPam},  // first, before this process has loaded libpam
      {"success", "auth_err", DorqStatus::Ok},
      {"auth_err", "success", DorqStatus::Ok},
      {"perm_denied", "auth_err", DorqStatus::BadPamConf},
      {"auth_err", "auth_err", DorqStatus::AuthFailed},
      {"perm_denied", "system_err", DorqStatus::AuthFailed},
      {"auth_err", "perm_denied", DorqStatus::AuthFailed},
  };
  for (const auto& c : cases) {
    writeFile(pamd / "su", debug(c.su));
    writeFile(pamd / "dorq", debug(c.dorq));
    std::vector<std::string> hidden;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu"}) {
      const std::string library = std::string(dir) + "/libpam.so.0";
      if (*c.dorq == '\0' && bindMount("/dev/null", library)) {
        hidden.push_back(library);
      }
    }
    sleeps.clear();
    EXPECT_EQ(sdorqAuthenticateUser("dqjob", "pw"), c.result) << c.su << " " << c.dorq;
    EXPECT_EQ(sleeps, c.result == DorqStatus::AuthFailed ? paused : std::vector<unsigned>{})
        << c.su;
    // Each attempt released the library it loaded.
    EXPECT_EQ(dlopen("libpam.so.0", RTLD_NOW | RTLD_NOLOAD), nullptr) << c.su << " " << c.dorq;
    for (const std::string& library : hidden) {
      umount(library.c_str());
    }
  }
}

}  // namespace
}  // namespace dorq_test
