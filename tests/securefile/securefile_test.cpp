// The secure-file layer against a real tree of owners, modes, links and
// mounts below a private /tmp: the path check, the guarded open's refusals,
// a file swapped in between examination and open, and every wrapper call
// failed in turn. The name rules (composition, length, parent references)
// and the error record's limits: the fuzz targets guarded_open, error_record.
#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string_view>

#include "securefile/sldir_pthsec.h"
#include "securefile/slf_file.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

// Made by the shell in the working directory: a directory (with a
// sub-directory) of each mode, one of user 4321's, files, a hard link, links
// absolute, relative, dangling, to a file, owned by 4321, and chains of two,
// ten and eleven links.
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

// A record of pattern bytes shows whether a call wrote it.
slosErrRec patternRecord() {
  slosErrRec record;
  memset(&record, 0x5A, sizeof record);
  return record;
}
bool untouched(const slosErrRec& r) {
  return std::string_view(reinterpret_cast<const char*>(&r), sizeof r).find_first_not_of('\x5A') ==
         std::string_view::npos;
}
std::string rec(int32_t code, int32_t error, const char* message, const char* routine) {
  return std::to_string(code) + " " + std::to_string(error) + " \"" + message + "\" " + routine;
}
std::string rec(const slosErrRec& r) {
  return rec(r.code, r.osError, r.message, r.routine);
}
std::string checkFailed(int32_t code, const char* message) {
  return rec(code, 0, message, "SldirIsPthse");
}

// The path check: "1" or "0" for a verdict, which leaves the record alone;
// for a failure the record it filled, whose code is the result.
std::string check(const std::string& path) {
  slosErrRec r = patternRecord();
  const int result = SldirIsPthSec(path.c_str(), &r);
  if (result >= 0) {
    return untouched(r) ? std::to_string(result) : "a verdict wrote the record";
  }
  return result == r.code ? rec(r) : "the result is not the record's code";
}

// The guarded open: "opened" (the record untouched, the handle closed again)
// or the record.
std::string open2(const std::string& name, const char* dir, int32_t access, int32_t flags) {
  slosErrRec r = patternRecord();
  SlfFile* handle = SlfFopen2(name.c_str(), dir, access, flags, kSlfKindNamed, &r, 0);
  if (handle == nullptr) {
    return rec(r);
  }
  return untouched(r) && SlfFclose(handle, &r, 0) == 0 ? "opened" : "opened and wrote the record";
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    // Below a private /tmp owned by root with mode 0755, trees can be secure.
    static const bool secureTmp = enterPrivateMountNamespace() && mountTmpfs("/tmp");
    ASSERT_TRUE(secureTmp);
    base_ = std::make_unique<TempDir>();
    ASSERT_EQ(chdir(base_->path().c_str()), 0);
    ASSERT_EQ(system(kTree), 0);
  }
  void TearDown() override {
    resetFaults();
    ASSERT_EQ(chdir("/"), 0);
  }
  std::string at(const std::string& name) const { return *base_ / name; }

  std::unique_ptr<TempDir> base_;
};

// Only an absolute path is examined, the root never. Each directory on the
// way, and the last, is judged by its owner (root or the effective user) and
// its group and other write bits; links are followed and judged by their
// targets, ten deep at most.
TEST_F(FileTest, PathCheckJudgesEachDirectoryByOwnerWriteBitsAndLinks) {
  for (const char* mode :
       {"0755", "0700", "0555", "2755", "4755", "1755", "0775", "0757", "0777", "1777"}) {
    const char* secure = (strtol(mode, nullptr, 8) & 022) == 0 ? "1" : "0";
    EXPECT_EQ(check(at("m") + mode), secure) << mode << " as the last entry";
    EXPECT_EQ(check(at("m") + mode + "/sub"), secure) << mode << " on the way";
  }
  const std::string relative = checkFailed(-1, "Input string is relative path");
  const std::string notDir = checkFailed(-4, "Path component is not directory");
  const std::string noLstat = checkFailed(-8, "lstat failure");
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", relative}, {"srv/inst", relative}, {"///", "1"},
      {"/proc/self", checkFailed(-8, "readlink failure")},  // its size is shorter than its text
      {at("theirs"), "0"}, {at("theirs/sub"), "0"}, {at("abs/wide"), "0"}, {at("real/sub/"), "1"},
      {at("abs/sub"), "1"},  // a link's owner is no matter
      {at("dangling"), noLstat}, {at("missing/x"), noLstat}, {at("file/"), noLstat},
      {at("tofile"), notDir}, {at("file/x"), notDir}, {at("c10_0"), "1"}, {at("rel/sub"), relative},
      {at("c11_0"), checkFailed(-11, "Max symlinks detected in path")}};
  // clang-format on
  for (const auto& [path, want] : cases) {
    EXPECT_EQ(check(path), want) << path;
  }
  slosErrRec record;
  EXPECT_EQ(SldirIsPthSec(nullptr, &record), -5);
}

// Refused for any access: a final link, a hard-linked file, a directory,
// anything else that is no regular file (a FIFO is never waited for); with
// the directory checks, any directory not written as it resolves, or that
// others can write.
TEST_F(FileTest, GuardedOpenRefusals) {
  const std::string softLink = rec(-9, 0, "soft link detected", "slsfopen4");
  const std::string hardLinks = rec(-9, 0, "hard links detected", "slsfopen5");
  const std::string linkInPath = rec(-9, 0, "soft link in path", "slsfopen4");
  const std::string notSecure = rec(-9, 0, "Input path is not secure", "slsfopen4");
  const std::string notRegular = rec(-9, 0, "not a regular file", "slsfopen5");
  const int32_t resolve = kSlfFlagResolveDir;
  const int32_t both = kSlfFlagSecureDir | kSlfFlagResolveDir;
  // Rows before "missing" are refused for any access.
  // clang-format off
  const struct { std::string name, dir; int32_t flags; std::string want; } cases[] = {
      {"tofile", "", 0, softLink}, {"danglingFile", "", 0, softLink}, {"twice", "", 0, hardLinks},
      {"real", "", 0, hardLinks},  // a directory has two links or more
      {"/proc/sys/kernel", "", 0, rec(-9, 0, "Input is a Directory", "slsfopen5")},
      {"fifo", "", 0, notRegular}, {"/dev/null", "", 0, notRegular},
      {"file/x", "", 0, rec(-8, ENOTDIR, "lstat failed", "slsfopen3")},
      {"missing", "", 0, rec(-5, ENOENT, "open failed", "SlfFopen1")},
      {"env.zan", "viaLink", resolve, linkInPath}, {"env.zan", "./real", resolve, linkInPath},
      {"env.zan", "real/.", resolve, linkInPath}, {"env.zan", "real/", resolve, "opened"},
      {"env.zan", "/real//", resolve, "opened"}, {"env.zan", "safe", both, "opened"},
      {"env.zan", "missing", resolve, rec(-8, ENOENT, "realpath failed", "slsfopen3")},
      {"env.zan", "wide", both, notSecure},
      // The path check's own failures reach the caller as it filled them.
      {"env.zan", "missing", kSlfFlagSecureDir, rec(-8, 0, "lstat failure", "SldirIsPthse")}};
  // clang-format on
  for (const auto& c : cases) {
    const std::string name = c.name[0] == '/' || !c.dir.empty() ? c.name : at(c.name);
    const std::string dir = at(c.dir);
    for (int32_t access = 0; access < (&c - cases < 8 ? 3 : 1); ++access) {
      EXPECT_EQ(open2(name, c.dir.empty() ? nullptr : dir.c_str(), access, c.flags), c.want)
          << c.name << " in " << c.dir << ", access " << access;
    }
  }
  EXPECT_EQ(readFile(at("twice")), "x\n");
  EXPECT_EQ(access(at("nowhere").c_str(), F_OK), -1);
  // A file that is not there yet is opened for writing, and so created.
  EXPECT_EQ(open2("new", base_->path().c_str(), 1, 0), "opened");
  EXPECT_EQ(access(at("new").c_str(), F_OK), 0);
  // A relative name without a directory is judged by the working directory,
  // which the directory check puts in front of it: too long is refused.
  ASSERT_EQ(chdir(at("wide").c_str()), 0);
  EXPECT_EQ(open2("env.zan", nullptr, 0, both), notSecure);
  ASSERT_EQ(chdir(at("safe").c_str()), 0);
  EXPECT_EQ(open2("env.zan", nullptr, 0, both), "opened");
  std::string deep = base_->path();
  while (deep.size() < 3900) {
    mkdir((deep += "/" + std::string(200, 'd')).c_str(), 0755);
  }
  ASSERT_EQ(chdir(deep.c_str()), 0);
  EXPECT_EQ(open2(std::string(300, 'n') + "/env.zan", nullptr, 0, resolve),
            rec(-11, 0, "file name too long", "slsfopen3"));
}

// A file swapped in between examination and open (by the open hook) is
// refused without waiting and with nothing left open: another file, even one
// with the same inode number on another device, a FIFO, or a link.
TEST_F(FileTest, GuardedOpenRefusesAFileReplacedBetweenExaminationAndOpen) {
  ASSERT_EQ(mkdir(at("a").c_str(), 0755) | mkdir(at("b").c_str(), 0755), 0);
  ASSERT_TRUE(mountTmpfs(at("a")) && mountTmpfs(at("b")));
  for (const char* file : {"a/env.zan", "a/env2", "a/env3", "a/env4", "a/other", "b/twin"}) {
    writeFile(at(file), file);
  }
  ASSERT_EQ(mkfifo(at("a/fifo").c_str(), 0644), 0);
  struct stat a = {}, b = {};
  ASSERT_EQ(stat(at("a/env.zan").c_str(), &a) | stat(at("b/twin").c_str(), &b), 0);
  ASSERT_EQ(a.st_ino, b.st_ino) << "fresh tmpfs mounts number their inodes alike";
  const std::string twin = at("b/twin"), other = at("a/other"), fifo = at("a/fifo");
  const std::string altered = rec(-9, 0, "target altered", "slsfopen7");
  const auto moved = [](const std::string& from) {
    return [from](const char* p) { (void)!rename(from.c_str(), p); };
  };
  // clang-format off
  const struct { const char* name; std::function<void(const char*)> swap; std::string want; }
  cases[] = {
      {"a/env.zan", [&](const char* p) { (void)!mount(twin.c_str(), p, nullptr, MS_BIND, 0); }, altered},
      {"a/env2", moved(other), altered}, {"a/env3", moved(fifo), altered},
      {"a/env4", [&](const char* p) { (void)!unlink(p), (void)!symlink(twin.c_str(), p); },
       rec(-8, ELOOP, "open failed", "SlfFopen1")}};
  // clang-format on
  for (const auto& c : cases) {
    setOpenHook(c.swap);
    const int before = openDescriptors();
    EXPECT_EQ(open2(at(c.name), nullptr, 0, 0), c.want) << c.name;
    EXPECT_EQ(openDescriptors(), before);
    resetFaults();
  }
  for (const char* mount : {"a/env.zan", "a", "b"}) {
    umount(at(mount).c_str());
  }
}

// Each wrapper call of a guarded open with the directory check through nested
// links (l1/sub -> l2/sub -> real/sub), a read and a close, failed in turn: a
// system failure (-8) in the record, with no descriptor left open and no
// memory leaked. A failed plain open or close maps its errno to the record.
TEST_F(FileTest, EveryWrapperFailureIsACleanRefusal) {
  writeFile(at("real/sub/env.zan"), "KVL_ADMIN=/net/admin\n");
  // 0 when all went well, else the code of the step that failed.
  const auto run = [dir = at("l1/sub")]() -> int32_t {
    slosErrRec record;
    SlfFile* handle =
        SlfFopen2("env.zan", dir.c_str(), 0, kSlfFlagSecureDir, kSlfKindNamed, &record, 0);
    if (handle == nullptr) {
      return record.code;
    }
    char buf[64] = {};
    const bool read = SlfFgts(handle, buf, sizeof buf, &record, 0) == 0;
    const bool closed = SlfFclose(handle, &record, 0) == 0;
    return read && strcmp(buf, "KVL_ADMIN=/net/admin\n") == 0 && closed ? 0 : record.code;
  };
  ASSERT_EQ(run(), 0);
  unsigned total = 0;
  for (const WrapperCase& w : kWrappers) {
    resetFaults();
    (void)run();
    const unsigned calls = callCount(w.wrapper);
    total += calls;
    for (unsigned k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      const int before = openDescriptors();
      resetFaults();
      armFault(w.wrapper, k, w.error);
      EXPECT_EQ(run(), -8);
      resetFaults();
      EXPECT_EQ(openDescriptors(), before);
      EXPECT_FALSE(leaked());
    }
  }
  // Three levels of allocations, the handle, one open, one fdopen and one fclose.
  EXPECT_GE(total, 15U) << "the scenario hardly reaches the wrappers";
  for (const auto& [error, code] :
       {std::pair{ENOENT, -5}, {EACCES, -3}, {ENOSPC, -6}, {EPERM, -8}, {EIO, -8}}) {
    armFault(Wrapper::Open, 1, error);  // a read opens a descriptor, then a stream on it
    slosErrRec r = patternRecord();
    EXPECT_EQ(SlfFopen(at("file").c_str(), nullptr, 0, 0, kSlfKindNamed, &r, 0), nullptr);
    EXPECT_EQ(rec(r), rec(code, error, "open failed", "SlfFopen1"));
  }
  slosErrRec r = patternRecord();
  SlfFile* handle = SlfFopen(at("file").c_str(), nullptr, 0, 0, kSlfKindNamed, &r, 0);
  armFault(Wrapper::Fclose, 1, EBADF);
  EXPECT_EQ(SlfFclose(handle, &r, 0), -1);
  EXPECT_EQ(rec(r), rec(-4, EBADF, "fclose failed", "SlfFclose1"));
}

}  // namespace
}  // namespace dorq_test
