// The one risk of the harness itself: a sandbox must never change the host's
// real account files or PAM services, and they must be back when it ends.
#include "tests/harness/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

TEST(SandboxTest, HostFilesAreUntouchedAndBackWhenTheSandboxEnds) {
  DORQ_REQUIRE_ROOT();
  Sandbox::enterNamespace();
  const char* files[] = {"/etc/passwd", "/etc/group", "/etc/shadow"};
  std::vector<std::string> before;
  for (const char* file : files) {
    before.push_back(readFile(file));
  }
  struct stat pamd {};
  ASSERT_EQ(stat("/etc/pam.d", &pamd), 0);
  {
    Sandbox sandbox;
    sandbox.writeService("dqtest", kPamPermitService);
    EXPECT_EQ(readFile("/etc/pam.d/dqtest"), kPamPermitService);
    EXPECT_NE(readFile("/etc/passwd").find(kJobUser.name), std::string::npos);
    sandbox.setuidCopy("/bin/true");
    sandbox.hideLibpam();
  }
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(readFile(files[i]), before[i]) << files[i];
  }
  struct stat after {};
  ASSERT_EQ(stat("/etc/pam.d", &after), 0);
  EXPECT_EQ(after.st_ino, pamd.st_ino);
  EXPECT_NE(stat("/etc/pam.d/dqtest", &after), 0);
}

}  // namespace
}  // namespace dorq_test
