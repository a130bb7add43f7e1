// The sandbox itself: its users and groups are what the system reports, its
// mounts go away with it, and its library and set-user-ID tricks hold.
#include "tests/harness/sandbox.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

std::vector<gid_t> groupsOf(const SandboxUser& user) {
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(user.name, user.group.gid, groups.data(), &count) < 0) {
    return {};
  }
  groups.resize(static_cast<size_t>(count));
  std::sort(groups.begin(), groups.end());
  return groups;
}

off_t sizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Runs program as kSchedulerUser and returns what it printed.
std::string runAsScheduler(const std::string& program, const char* argument) {
  int fds[2];
  if (pipe(fds) != 0) {
    return "pipe failed";
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (setgroups(0, nullptr) != 0 || setgid(kSchedulerUser.group.gid) != 0 ||
        setuid(kSchedulerUser.uid) != 0) {
      _exit(126);
    }
    execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string output;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return output;
}

TEST(SandboxTest, UsersGroupsAndPasswordsAreWhatTheSystemReports) {
  DORQ_REQUIRE_ROOT();
  Sandbox sandbox;

  const passwd* root = getpwnam("root");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->pw_uid, 0U);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    const passwd* entry = getpwnam(user.name);
    ASSERT_NE(entry, nullptr) << user.name;
    EXPECT_EQ(entry->pw_uid, user.uid);
    EXPECT_EQ(entry->pw_gid, user.group.gid);
    EXPECT_EQ(entry->pw_dir, sandbox.home(user));
    struct stat home {};
    ASSERT_EQ(stat(entry->pw_dir, &home), 0);
    EXPECT_EQ(home.st_uid, user.uid);
    const spwd* shadow = getspnam(user.name);
    ASSERT_NE(shadow, nullptr) << user.name;
    EXPECT_EQ(std::string(shadow->sp_pwdp).rfind("$6$", 0), 0U);
  }
  EXPECT_EQ(getpwnam(kUnknownUserName), nullptr);

  std::vector<gid_t> jobGroups = {kJobUser.group.gid, kJobGroupA.gid, kJobGroupB.gid};
  std::sort(jobGroups.begin(), jobGroups.end());
  EXPECT_EQ(groupsOf(kJobUser), jobGroups);
  std::vector<gid_t> otherGroups = {kOtherUser.group.gid, kOtherGroup.gid};
  EXPECT_EQ(groupsOf(kOtherUser), otherGroups);
  EXPECT_EQ(groupsOf(kSchedulerUser), std::vector<gid_t>{kSchedulerUser.group.gid});
}

TEST(SandboxTest, RealFilesComeBackWhenTheSandboxEnds) {
  DORQ_REQUIRE_ROOT();
  Sandbox::enterNamespace();
  const std::string passwd = readFile("/etc/passwd");
  struct stat pamd {};
  ASSERT_EQ(stat("/etc/pam.d", &pamd), 0);
  {
    Sandbox sandbox;
    sandbox.writeService("dqtest", kPamPermitService);
    EXPECT_EQ(readFile("/etc/pam.d/dqtest"), kPamPermitService);
    EXPECT_NE(readFile("/etc/passwd"), passwd);
  }
  EXPECT_EQ(readFile("/etc/passwd"), passwd);
  struct stat after {};
  ASSERT_EQ(stat("/etc/pam.d", &after), 0);
  EXPECT_EQ(after.st_ino, pamd.st_ino);
}

TEST(SandboxTest, LibpamCanBeHiddenWhollyOrUnderItsDevelopmentNameOnly) {
  DORQ_REQUIRE_ROOT();
  const std::vector<std::string> files = Sandbox::libpamFiles();
  ASSERT_FALSE(files.empty());
  const std::string devName = "/usr/lib/x86_64-linux-gnu/libpam.so";
  {
    Sandbox sandbox;
    sandbox.hideLibpamDevName();
    EXPECT_EQ(sizeOf(devName), 0);
    EXPECT_GT(sizeOf("/usr/lib/x86_64-linux-gnu/libpam.so.0"), 0);
  }
  {
    Sandbox sandbox;
    sandbox.hideLibpam();
    for (const std::string& file : files) {
      EXPECT_EQ(sizeOf(file), 0) << file;
    }
  }
  Sandbox sandbox;
  TempDir dir;
  writeFile(dir / "fake.so", "not a library", 0644);
  sandbox.installLibrary(dir / "fake.so");
  EXPECT_EQ(readFile("/usr/lib/x86_64-linux-gnu/libpam.so.0"), "not a library");
}

TEST(SandboxTest, SetuidCopyRunsAsRootForAnyUser) {
  DORQ_REQUIRE_ROOT();
  Sandbox sandbox;
  const SetuidCopies copies = sandbox.setuidCopy("/usr/bin/id");
  struct stat st {};
  ASSERT_EQ(stat(copies.setuid.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04755U);
  EXPECT_EQ(st.st_uid, 0U);
  ASSERT_EQ(stat(copies.plain.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755U);
  EXPECT_EQ(runAsScheduler(copies.setuid, "-u"), "0\n");
  EXPECT_EQ(runAsScheduler(copies.plain, "-u"), std::to_string(kSchedulerUser.uid) + "\n");
}

}  // namespace
}  // namespace dorq_test
