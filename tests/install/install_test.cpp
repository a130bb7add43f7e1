// `cmake --install` of this very build tree into throw-away prefixes: as root
// it gives dorq the owner root, the configured group and mode 4750; without
// the group, or without root's rights, it completes and says what root must
// run. Group files are changed only in a private mount namespace.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/run_process.h"
#include "tests/support/private_ns.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

constexpr char kGroup[] = DORQ_INSTALL_GROUP;
constexpr char kProgram[] = "/" DORQ_INSTALL_LIBEXECDIR "/dorq/dorq";
constexpr char kManPage[] = "/" DORQ_INSTALL_MANDIR "/man8/dorq.8";
constexpr char kPamText[] = "/" DORQ_INSTALL_DOCDIR "/pam.d/dorq";
// A group id for the configured group when the host has no such group.
constexpr gid_t kStandInGid = 23090;
constexpr mode_t kInstalledMode = 04750;
constexpr mode_t kPermissionBits = 07777;
constexpr std::chrono::seconds kInstallTimeout{60};

bool hasEntry(const std::string& groupFile, const std::string& name) {
  std::istringstream lines(groupFile);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) == 0) {
      return true;
    }
  }
  return false;
}

std::string withoutEntry(const std::string& groupFile, const std::string& name) {
  std::istringstream lines(groupFile);
  std::string line;
  std::string kept;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) != 0) {
      kept += line + "\n";
    }
  }
  return kept;
}

// CMake wraps the prose of a warning; its indented command lines stay whole.
std::string flattened(const std::string& text) {
  std::string flat;
  for (const char c : text) {
    const bool blank = c == ' ' || c == '\n';
    if (!blank || (!flat.empty() && flat.back() != ' ')) {
      flat.push_back(blank ? ' ' : c);
    }
  }
  return flat;
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    static const bool entered = enterPrivateMountNamespace();
    ASSERT_TRUE(entered) << "cannot enter a private mount namespace";
  }
  void TearDown() override {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
      umount2(it->c_str(), MNT_DETACH);
    }
  }

  // Puts `text` over `target` for this process and its children.
  void cover(const std::string& target, const std::string& text, unsigned mode = 0644) {
    const std::string source = dir_ / ("cover" + std::to_string(mounted_.size()));
    writeFile(source, text, mode);
    ASSERT_TRUE(bindMount(source, target)) << target;
    mounted_.push_back(target);
  }
  // /etc/group with the configured group, added when the host lacks it.
  void provideGroup() {
    const std::string groups = readFile("/etc/group");
    if (!hasEntry(groups, kGroup)) {
      cover("/etc/group", groups + kGroup + ":x:" + std::to_string(kStandInGid) + ":\n");
    }
  }
  void removeGroup() { cover("/etc/group", withoutEntry(readFile("/etc/group"), kGroup)); }

  static ProcessSpec installSpec(const std::string& prefix) {
    ProcessSpec spec =
        specFor(DORQ_CMAKE_COMMAND, {"--install", DORQ_BUILD_DIR, "--prefix", prefix});
    spec.stdinSource = StdinSource::DevNull;
    spec.timeout = kInstallTimeout;
    return spec;
  }

  TempDir dir_;
  std::vector<std::string> mounted_;
};

TEST_F(InstallTest, AsRootGivesOwnerRootTheGroupAndMode4750) {
  provideGroup();
  const group* configured = getgrnam(kGroup);
  ASSERT_NE(configured, nullptr);
  const gid_t gid = configured->gr_gid;
  const std::string prefix = dir_ / "prefix";

  const ProcessResult r = runProcess(installSpec(prefix));
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;

  struct stat st {};
  ASSERT_EQ(stat((prefix + kProgram).c_str(), &st), 0) << prefix + kProgram;
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, gid);
  EXPECT_EQ(st.st_mode & kPermissionBits, kInstalledMode) << std::oct << st.st_mode;
  // The documents travel with it, unchanged.
  EXPECT_EQ(readFile(prefix + kManPage), readFile(DORQ_SOURCE_DIR "/docs/dorq.8"));
  EXPECT_EQ(readFile(prefix + kPamText), readFile(DORQ_SOURCE_DIR "/docs/pam.d/dorq"));
  EXPECT_NE(readFile(prefix + kPamText).find("pam_unix.so"), std::string::npos);

  // A second install over the first keeps owner, group and mode.
  const ProcessResult again = runProcess(installSpec(prefix));
  ASSERT_TRUE(again.exitedWith(0)) << describe(again);
  ASSERT_EQ(stat((prefix + kProgram).c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, gid);
  EXPECT_EQ(st.st_mode & kPermissionBits, kInstalledMode) << std::oct << st.st_mode;
}

TEST_F(InstallTest, AsRootWithoutTheGroupWarnsAndLeavesNoWayInForOthers) {
  removeGroup();
  ASSERT_EQ(getgrnam(kGroup), nullptr);
  const std::string prefix = dir_ / "prefix";
  const std::string program = prefix + kProgram;

  const ProcessResult r = runProcess(installSpec(prefix));
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_NE(r.err.find(std::string("groupadd --system ") + kGroup), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::string("chown root:") + kGroup + " " + program), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("chmod 4750 " + program), std::string::npos) << r.err;

  struct stat st {};
  ASSERT_EQ(stat(program.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & S_IRWXO, 0u) << std::oct << st.st_mode;
}

TEST_F(InstallTest, WithoutRootCompletesIntoADestdirAndNamesTheCommandsForRoot) {
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  // An unprivileged installer owns its staging tree, and its build tree:
  // `cmake --install` writes the list of installed files there. This build
  // tree is root's, so the installer gets a list file of its own.
  const std::string stage = dir_ / "stage";
  ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
  ASSERT_EQ(chown(stage.c_str(), uid, gid), 0);
  const std::string manifest = std::string(DORQ_BUILD_DIR) + "/install_manifest.txt";
  if (access(manifest.c_str(), F_OK) != 0) {
    writeFile(manifest, "");
  }
  cover(manifest, "", 0666);

  ProcessSpec spec = installSpec("/usr/local");
  spec.identity = Identity{uid, gid, {}};
  spec.env.push_back("DESTDIR=" + stage);
  const ProcessResult r = runProcess(spec);
  ASSERT_TRUE(r.exitedWith(0)) << describe(r);

  const std::string program = stage + "/usr/local" + kProgram;
  EXPECT_NE(flattened(r.err).find("must be set by root"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::string("chown root:") + kGroup + " " + program), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("chmod 4750 " + program), std::string::npos) << r.err;
  // chmod must come after chown, which clears the set-user-ID bit.
  EXPECT_LT(r.err.find("chown root:"), r.err.find("chmod 4750")) << r.err;

  struct stat st {};
  ASSERT_EQ(stat(program.c_str(), &st), 0) << program;
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & S_IRWXO, 0u) << std::oct << st.st_mode;
  EXPECT_EQ(access((stage + "/usr/local" + kManPage).c_str(), R_OK), 0);
}

}  // namespace
}  // namespace dorq_test
