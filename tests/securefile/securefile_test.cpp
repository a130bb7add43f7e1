// The path check and the guarded open against a real tree below a private /tmp; the name rules
// and the error record's limits are the fuzz targets' (guarded_open, error_record).
#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "securefile/sldir_pthsec.h"
#include "securefile/slf_file.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

// Made by the shell in the working directory; c10_0 and c11_0 head chains of ten and eleven links.
constexpr char kTree[] = R"(set -e
for m in 0755 0700 0555 2755 4755 1755 0775 0757 0777 1777; do mkdir -m $m m$m m$m/sub; done
mkdir -m 0755 real real/sub safe theirs theirs/sub && mkdir -m 0775 real/wide wide
chown 4321 theirs && echo x > file && echo x > twice && ln twice twice2 && mkfifo fifo
for d in real safe wide; do echo x > $d/env.zan; done
ln -s $PWD/real abs && chown -h 4321 abs && ln -s real rel && ln -s $PWD/real viaLink
ln -s $PWD/gone dangling && ln -s $PWD/file tofile && ln -s $PWD/nowhere danglingFile
ln -s $PWD/real l2 && ln -s $PWD/l2 l1
for n in 10 11; do
  for i in $(seq 1 $((n - 1))); do ln -s $PWD/c${n}_$i c${n}_$((i - 1)); done
  ln -s $PWD/real c${n}_$((n - 1))
done)";

std::string rec(int32_t code, int32_t error, const char* message, const char* routine) {
  return std::to_string(code) + " " + std::to_string(error) + " \"" + message + "\" " + routine;
}
std::string rec(const slosErrRec& r) {
  return rec(r.code, r.osError, r.message, r.routine);
}

// The guarded open, a line read when reading, and the close: the line ("" for a write) with
// the record untouched, or the record of the step that failed.
std::string open2(const std::string& name, const std::string& dir, int32_t access, int32_t flags) {
  slosErrRec r = patterned<slosErrRec>();
  const char* d = dir.empty() ? nullptr : dir.c_str();
  SlfFile* handle = SlfFopen2(name.c_str(), d, access, flags, kSlfKindNamed, &r, 0);
  if (handle == nullptr) {
    return rec(r);
  }
  char line[64] = "";
  const bool read = access != 0 || SlfFgts(handle, line, sizeof line, &r, 0) == 0;
  const bool closed = SlfFclose(handle, &r, 0) == 0;
  return !untouched(r) ? rec(r) : read && closed ? line : "failed, the record untouched";
}

// A fresh tree in each test, below a private /tmp of root's with mode 0755 so it can be secure.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    static const bool secureTmp = enterPrivateMountNamespace() && mountTmpfs("/tmp");
    ASSERT_TRUE(secureTmp);
    base_ = std::make_unique<TempDir>();
    ASSERT_EQ(chdir(base_->path().c_str()), 0);
    ASSERT_EQ(system(kTree), 0);
  }
  void TearDown() override { resetFaults(); }
  std::string at(const std::string& name) const { return *base_ / name; }

  std::unique_ptr<TempDir> base_;
};

// Each directory on the way is judged by its owner (root or the effective user) and its group
// and other write bits; links by their targets, ten deep at most. A verdict ("1" or "0") leaves the
// record alone; a failure fills it and returns its code.
TEST_F(FileTest, PathCheckJudgesEachDirectoryByOwnerWriteBitsAndLinks) {
  const auto check = [](const char* path) -> std::string {
    slosErrRec r = patterned<slosErrRec>();
    const int result = SldirIsPthSec(path, &r);
    if (result >= 0) {
      return untouched(r) ? std::to_string(result) : "a verdict wrote the record";
    }
    return result == r.code ? rec(r) : "the result is not the record's code";
  };
  for (const char* mode :
       {"0755", "0700", "0555", "2755", "4755", "1755", "0775", "0757", "0777", "1777"}) {
    const char* secure = (strtol(mode, nullptr, 8) & 022) == 0 ? "1" : "0";
    EXPECT_EQ(check((at("m") + mode).c_str()), secure) << mode << " as the last entry";
    EXPECT_EQ(check((at("m") + mode + "/sub").c_str()), secure) << mode << " on the way";
  }
  const auto failed = [](int32_t code, const char* m) { return rec(code, 0, m, "SldirIsPthse"); };
  const std::string relative = failed(-1, "Input string is relative path");
  const std::string notDir = failed(-4, "Path component is not directory");
  const std::string noLstat = failed(-8, "lstat failure");
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", relative}, {"srv/inst", relative}, {"///", "1"},
      {"/proc/self", failed(-8, "readlink failure")},  // its size is shorter than its text
      {at("theirs"), "0"}, {at("theirs/sub"), "0"}, {at("abs/wide"), "0"}, {at("real/sub/"), "1"},
      {at("abs/sub"), "1"},  // a link's owner is no matter
      {at("dangling"), noLstat}, {at("missing/x"), noLstat}, {at("file/"), noLstat},
      {at("tofile"), notDir}, {at("file/x"), notDir}, {at("c10_0"), "1"}, {at("rel/sub"), relative},
      {at("c11_0"), failed(-11, "Max symlinks detected in path")}};
  // clang-format on
  for (const auto& [path, want] : cases) {
    EXPECT_EQ(check(path.c_str()), want) << path;
  }
  EXPECT_EQ(check(nullptr), failed(-5, "Path string is empty"));
}

// A FIFO is never waited for. Between examination and open the hook swaps in a file with the same
// inode number on another device, another file, a FIFO, a link. No refusal leaves a descriptor.
TEST_F(FileTest, GuardedOpenRefusals) {
  ASSERT_EQ(0, system("set -e; mkdir a b; for d in a b; do mount -t tmpfs -o mode=755 t $d; done\n"
                      "touch a/env1 a/env2 a/env3 a/env4 a/other b/twin; mkfifo a/fifo"));
  struct stat a = {}, b = {};
  ASSERT_EQ(stat("a/env1", &a) | stat("b/twin", &b), 0);
  ASSERT_EQ(a.st_ino, b.st_ino) << "fresh tmpfs mounts number their inodes alike";
  const std::string softLink = rec(-9, 0, "soft link detected", "slsfopen4");
  const std::string hardLinks = rec(-9, 0, "hard links detected", "slsfopen5");
  const std::string linkInPath = rec(-9, 0, "soft link in path", "slsfopen4");
  const std::string notSecure = rec(-9, 0, "Input path is not secure", "slsfopen4");
  const std::string notRegular = rec(-9, 0, "not a regular file", "slsfopen5");
  const std::string altered = rec(-9, 0, "target altered", "slsfopen7");
  const int32_t resolve = kSlfFlagResolveDir, both = kSlfFlagSecureDir | kSlfFlagResolveDir;
  // Rows before "missing" are refused for any access.
  // clang-format off
  const struct { std::string name, dir; int32_t flags; std::string want;
                 std::function<void(const char*)> swap = nullptr; } cases[] = {
      {"tofile", "", 0, softLink}, {"danglingFile", "", 0, softLink}, {"twice", "", 0, hardLinks},
      {"real", "", 0, hardLinks},  // a directory has two links or more
      {"/proc/sys/kernel", "", 0, rec(-9, 0, "Input is a Directory", "slsfopen5")},
      {"fifo", "", 0, notRegular}, {"/dev/null", "", 0, notRegular},
      {"file/x", "", 0, rec(-8, ENOTDIR, "lstat failed", "slsfopen3")},
      {"missing", "", 0, rec(-5, ENOENT, "open failed", "SlfFopen1")},
      {"env.zan", "viaLink", resolve, linkInPath}, {"env.zan", "./real", resolve, linkInPath},
      {"env.zan", "real/.", resolve, linkInPath}, {"env.zan", "real/", resolve, "x\n"},
      {"env.zan", "/real//", resolve, "x\n"}, {"env.zan", "safe", both, "x\n"},
      {"env.zan", "missing", resolve, rec(-8, ENOENT, "realpath failed", "slsfopen3")},
      {"env.zan", "wide", both, notSecure},
      // The path check's own failures reach the caller as it filled them.
      {"env.zan", "missing", kSlfFlagSecureDir, rec(-8, 0, "lstat failure", "SldirIsPthse")},
      // The working directory is put in front of the directory checks.
      {"wide/env.zan", "", both, notSecure}, {"safe/env.zan", "", both, "x\n"},
      {"a/env1", "", 0, altered,
       [](const char* p) { (void)!mount("b/twin", p, nullptr, MS_BIND, nullptr); }},
      {"a/env2", "", 0, altered, [](const char* p) { (void)!rename("a/other", p); }},
      {"a/env3", "", 0, altered, [](const char* p) { (void)!rename("a/fifo", p); }},
      {"a/env4", "", 0, rec(-8, ELOOP, "open failed", "SlfFopen1"),
       [](const char* p) { (void)!unlink(p), (void)!symlink("../b/twin", p); }}};
  // clang-format on
  for (const auto& c : cases) {
    const int before = openDescriptors();
    setOpenHook(c.swap);
    for (int32_t access = 0; access < (&c - cases < 8 ? 3 : 1); ++access) {
      EXPECT_EQ(open2(c.name, c.dir.empty() ? "" : at(c.dir), access, c.flags), c.want)
          << c.name << " in " << c.dir << ", access " << access;
    }
    EXPECT_EQ(openDescriptors(), before) << c.name;
  }
  setOpenHook(nullptr);
  EXPECT_EQ(system("umount a/env1 a b"), 0);
  EXPECT_EQ(readFile("twice"), "x\n");
  EXPECT_EQ(access("nowhere", F_OK), -1);
  // A file that is not there yet is opened for writing, and so created.
  EXPECT_EQ(open2("new", "", 1, 0), "");
  EXPECT_EQ(access("new", F_OK), 0);
  // A directory and name longer together than a path are refused.
  std::string deep = base_->path();
  while (deep.size() < 3900) {
    mkdir((deep += "/" + std::string(200, 'd')).c_str(), 0755);
  }
  ASSERT_EQ(chdir(deep.c_str()), 0);
  EXPECT_EQ(open2(std::string(300, 'n') + "/env.zan", "", 0, resolve),
            rec(-11, 0, "file name too long", "slsfopen3"));
}

// Each wrapper call of an open through nested links (l1/sub -> l2/sub -> real/sub), a read and
// a close fails in turn: -8, no descriptor left, no leak. A plain open or close maps its errno.
TEST_F(FileTest, EveryWrapperFailureIsACleanRefusal) {
  writeFile("real/sub/env.zan", "KVL_ADMIN=/net/admin\n");
  const auto run = [&] { return open2("env.zan", at("l1/sub"), 0, kSlfFlagSecureDir); };
  unsigned total = 0;
  for (const WrapperCase& w : kWrappers) {
    resetFaults();
    ASSERT_EQ(run(), "KVL_ADMIN=/net/admin\n");
    const unsigned calls = callCount(w.wrapper);
    total += calls;
    for (unsigned k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      const int before = openDescriptors();
      armFault(w.wrapper, k, w.error);
      EXPECT_EQ(run().substr(0, 3), "-8 ");
      EXPECT_EQ(openDescriptors(), before);
      EXPECT_FALSE(leaked());
    }
  }
  // Three levels of allocations, the handle, one open, one fdopen and one fclose.
  EXPECT_GE(total, 15U) << "the scenario hardly reaches the wrappers";
  for (const auto& [error, code] :
       {std::pair{ENOENT, -5}, {EACCES, -3}, {ENOSPC, -6}, {EPERM, -8}, {EIO, -8}}) {
    armFault(Wrapper::Open, 1, error);  // a read opens a descriptor, then a stream on it
    slosErrRec r = patterned<slosErrRec>();
    EXPECT_EQ(SlfFopen("file", nullptr, 0, 0, kSlfKindNamed, &r, 0), nullptr);
    EXPECT_EQ(rec(r), rec(code, error, "open failed", "SlfFopen1"));
  }
  armFault(Wrapper::Fclose, 1, EBADF);
  EXPECT_EQ(open2("file", "", 0, 0), rec(-4, EBADF, "fclose failed", "SlfFclose1"));
}

}  // namespace
}  // namespace dorq_test
