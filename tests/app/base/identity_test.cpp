// The switch must read back what it set: here the calls that set it succeed and change nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/base/sdorq_identity.h"

// clang-format off
extern "C" {
int setgroups(size_t /*count*/, const gid_t* /*groups*/) noexcept { return 0; }
int setgid(gid_t /*gid*/) noexcept { return 0; }
int setuid(uid_t /*uid*/) noexcept { return 0; }
}  // extern "C"
// clang-format on

TEST(IdentitySwitch, FailsWhenTheIdentityDoesNotHold) {
  const JobIdentity nobody = sdorqResolveJobIdentity("nobody");
  ASSERT_TRUE(nobody.known && nobody.groupsResolved && nobody.uid != geteuid());
  EXPECT_FALSE(sdorqSwitchIdentity(nobody));
}
