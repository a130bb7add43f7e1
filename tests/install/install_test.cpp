// `cmake --install` of this very build tree into throw-away prefixes: as root
// it gives dorq the owner root, the configured group and mode 4750; without
// root's rights it completes and says what root must run. /etc/group is
// changed only in a private mount namespace.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/harness/run_process.h"
#include "tests/support/private_ns.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

constexpr char kGroup[] = DORQ_INSTALL_GROUP;
constexpr char kProgram[] = "/" DORQ_INSTALL_LIBEXECDIR "/dorq/dorq";
constexpr char kManPage[] = "/" DORQ_INSTALL_MANDIR "/man8/dorq.8";

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    static const bool entered = enterPrivateMountNamespace();
    ASSERT_TRUE(entered);
  }
  void TearDown() override { umount2(covered_.c_str(), MNT_DETACH); }
  // Puts `text` over `target` for this process and its children.
  void cover(const std::string& target, const std::string& text, unsigned mode = 0644) {
    writeFile(dir_ / "cover", text, mode);
    ASSERT_TRUE(bindMount(dir_ / "cover", target)) << target;
    covered_ = target;
  }
  ProcessResult install(const std::string& prefix, uid_t uid, gid_t gid,
                        const std::string& destdir = "") {
    ProcessSpec spec =
        specFor(DORQ_CMAKE_COMMAND, {"--install", DORQ_BUILD_DIR, "--prefix", prefix});
    spec.stdinSource = StdinSource::DevNull;
    spec.identity = Identity{uid, gid, {}};
    spec.env.push_back("DESTDIR=" + destdir);
    return runProcess(spec);
  }

  TempDir dir_;
  std::string covered_;
};

TEST_F(InstallTest, AsRootGivesOwnerRootTheGroupAndMode4750) {
  if (getgrnam(kGroup) == nullptr) {
    cover("/etc/group", readFile("/etc/group") + kGroup + ":x:23090:\n");
  }
  const group* configured = getgrnam(kGroup);
  ASSERT_NE(configured, nullptr);
  const ProcessResult r = install(dir_ / "prefix", 0, 0);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "prefix" + kProgram).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, configured->gr_gid);
  EXPECT_EQ(st.st_mode & 07777, 04750u) << std::oct << st.st_mode;
  EXPECT_EQ(readFile(dir_ / "prefix" + kManPage), readFile(DORQ_BUILD_DIR "/docs/dorq.8"));
}

// The unprivileged installer owns its staging tree, and gets an install
// manifest of its own: the build tree is root's.
TEST_F(InstallTest, WithoutRootCompletesAndNamesTheCommandsForRoot) {
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string stage = dir_ / "stage";
  ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
  ASSERT_EQ(chown(stage.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const std::string manifest = DORQ_BUILD_DIR "/install_manifest.txt";
  if (access(manifest.c_str(), F_OK) != 0) {
    writeFile(manifest, "");
  }
  cover(manifest, "", 0666);
  const ProcessResult r = install("/usr/local", nobody->pw_uid, nobody->pw_gid, stage);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  const std::string program = stage + "/usr/local" + kProgram;
  // chmod must come after chown, which clears the set-user-ID bit.
  const size_t chmod = r.err.find("chmod 4750 " + program);
  EXPECT_NE(chmod, std::string::npos) << r.err;
  EXPECT_LT(r.err.find(std::string("chown root:") + kGroup + " " + program), chmod) << r.err;
  struct stat st {};
  ASSERT_EQ(stat(program.c_str(), &st), 0) << program;
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_mode & S_IRWXO, 0u) << std::oct << st.st_mode;
}

}  // namespace
}  // namespace dorq_test
