// The secure-file layer against real trees, owners, modes, links and mounts
// below a private /tmp: the path check, the plain and the guarded open, and
// every wrapper call failed in turn through the fault injector.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "securefile/sldir_pthsec.h"
#include "securefile/slf_file.h"
#include "tests/support/fault_injection.h"
#include "tests/support/private_ns.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

// Present only in the sanitizer build.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace {

using dorq_test::readFile;
using dorq_test::writeFile;

constexpr uid_t kUserA = 4321;  // an unused id that owns the "other user" parts

// A directory or link owned by owner (-1: the creator), a directory with exactly mode.
void makeDir(const std::string& path, mode_t mode, uid_t owner = static_cast<uid_t>(-1)) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}
void makeLink(const std::string& text, const std::string& path,
              uid_t owner = static_cast<uid_t>(-1)) {
  ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

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

// The four fields one fill writes, as one comparable text.
std::string rec(int32_t code, int32_t error, const char* message, const char* routine) {
  return std::to_string(code) + " " + std::to_string(error) + " \"" + message + "\" " + routine;
}
std::string rec(const slosErrRec& r) {
  return rec(r.code, r.osError, r.message, r.routine);
}

// Nested directories below base making a directory path of exactly `length`.
std::string makeDeepDir(const std::string& base, size_t length) {
  std::string dir = base;
  while (length - dir.size() > 250) {
    mkdir((dir += "/" + std::string(200, 'd')).c_str(), 0755);
  }
  dir += "/" + std::string(length - dir.size() - 1, 'e');
  EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  return dir;
}

int openDescriptors() {
  const auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}

struct HandleCloser {
  void operator()(SlfFile* handle) const {
    slosErrRec record = patternRecord();
    EXPECT_EQ(SlfFclose(handle, &record, 0), 0);
  }
};

// An open's handle and its record, which must stay untouched on success.
struct Opened {
  std::unique_ptr<SlfFile, HandleCloser> handle;
  slosErrRec record;
};
using OpenCall = SlfFile* (*)(const char*, const char*, int32_t, int32_t, int32_t, slosErrRec*,
                              int32_t);
Opened openWith(OpenCall call, const std::string& name, const char* dir = nullptr,
                int32_t access = 0, int32_t flags = 0) {
  Opened out{nullptr, patternRecord()};
  out.handle.reset(call(name.c_str(), dir, access, flags, kSlfKindNamed, &out.record, 0));
  EXPECT_TRUE(!out.handle || untouched(out.record)) << "a successful open wrote the record";
  return out;
}
constexpr auto guardedOpen = [](const auto&... args) { return openWith(SlfFopen2, args...); };
constexpr auto plainOpen = [](const auto&... args) { return openWith(SlfFopen, args...); };

// A fresh directory for each test; as root, below a private /tmp owned by
// root with mode 0755, so that trees below it can be secure.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool secureTmp = geteuid() == 0 && dorq_test::enterPrivateMountNamespace() &&
                                  dorq_test::mountTmpfs("/tmp") && chmod("/tmp", 0755) == 0;
    ASSERT_TRUE(secureTmp || geteuid() != 0);
    base_ = std::make_unique<dorq_test::TempDir>("/tmp");
  }
  void TearDown() override { dorq_test::resetFaults(); }
  const std::string& base() const { return base_->path(); }
  std::string at(const std::string& name) const { return base() + "/" + name; }

 private:
  std::unique_ptr<dorq_test::TempDir> base_;
};

// "1" or "0" for a verdict, which must leave the record as it was; for a
// failure the record it filled, whose code is the result.
std::string check(const std::string& path) {
  slosErrRec record = patternRecord();
  const int result = SldirIsPthSec(path.c_str(), &record);
  if (result >= 0) {
    return untouched(record) ? std::to_string(result) : "a verdict wrote the record";
  }
  return result == record.code ? rec(record) : "the result is not the record's code";
}
std::string checkFailed(int32_t code, const char* message) {
  return rec(code, 0, message, "SldirIsPthse");
}

TEST(PathCheck, RefusesWhatIsNoAbsolutePath) {
  EXPECT_EQ(check(""), checkFailed(-1, "Input string is relative path"));
  EXPECT_EQ(check("srv/inst"), checkFailed(-1, "Input string is relative path"));
  // The root is never examined; /proc/self reports a size shorter than its text.
  EXPECT_EQ(check("///"), "1");
  EXPECT_EQ(check("/proc/self"), checkFailed(-8, "readlink failure"));
  slosErrRec record;
  EXPECT_EQ(SldirIsPthSec(nullptr, &record), -5);
}

class RootFileTest : public FileTest {
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    FileTest::SetUp();
  }
};

// Each directory on the way, and the last, is judged by its owner (root or
// the effective user) and by its group and other write bits.
TEST_F(RootFileTest, PathCheckJudgesEachDirectoryByOwnerAndWriteBits) {
  for (const mode_t mode :
       {0755U, 0700U, 0555U, 02755U, 04755U, 01755U, 0775U, 0757U, 0777U, 01777U}) {
    const std::string dir = at("m" + std::to_string(mode));
    makeDir(dir, mode);
    makeDir(dir + "/sub", 0755);
    const char* secure = (mode & 022) == 0 ? "1" : "0";
    EXPECT_EQ(check(dir), secure) << std::oct << mode << " as the last entry";
    EXPECT_EQ(check(dir + "/sub"), secure) << std::oct << mode << " on the way";
  }
  makeDir(at("theirs"), 0755, kUserA);
  makeDir(at("theirs/sub"), 0755);
  EXPECT_EQ(check(at("theirs")), "0");
  EXPECT_EQ(check(at("theirs/sub")), "0");
}

TEST_F(RootFileTest, PathCheckFollowsLinksAndRefusesWhatIsNoDirectory) {
  makeDir(at("real"), 0755);
  makeDir(at("real/sub"), 0755);
  makeDir(at("real/wide"), 0775);
  writeFile(at("file"), "x");
  makeLink(at("real"), at("abs"), kUserA);  // a link's own owner does not count
  makeLink("real", at("rel"));
  makeLink(at("gone"), at("dangling"));
  makeLink(at("file"), at("tofile"));
  const std::string notDir = checkFailed(-4, "Path component is not directory");
  const std::string noLstat = checkFailed(-8, "lstat failure");
  const std::string relative = checkFailed(-1, "Input string is relative path");
  const std::pair<const char*, std::string> cases[] = {
      {"abs/sub", "1"},      {"abs/wide", "0"},      {"real/sub/", "1"},
      {"dangling", noLstat}, {"missing/x", noLstat}, {"file/", noLstat},
      {"tofile", notDir},    {"file/x", notDir},     {"rel/sub", relative},
  };
  for (const auto& [path, want] : cases) {
    EXPECT_EQ(check(at(path)), want) << path;
  }
  // A chain of ten links is followed; the eleventh is one too many.
  for (const int count : {10, 11}) {
    const std::string prefix = at("c" + std::to_string(count) + "_");
    for (int i = 0; i < count; ++i) {
      makeLink(i + 1 == count ? at("real") : prefix + std::to_string(i + 1),
               prefix + std::to_string(i));
    }
    EXPECT_EQ(check(prefix + "0"),
              count == 10 ? "1" : checkFailed(-11, "Max symlinks detected in path"));
  }
}

// Each field keeps at most its limit of characters, terminated in the field.
TEST(SlosErr, CutsEveryFieldAtItsLimit) {
  for (const size_t length : {0UL, 12UL, 13UL, 32UL, 33UL, 160UL, 161UL}) {
    const std::string text(length, 'x');
    slosErrRec record;
    memset(&record, 'y', sizeof record);
    slosFillErr(&record, -9, 0, text.c_str(), text.c_str());
    slosOtherInfo(&record, text.c_str());
    EXPECT_EQ(strlen(record.message), std::min(length, kSlosMessageMax));
    EXPECT_EQ(strlen(record.routine), std::min(length, kSlosRoutineMax));
    EXPECT_EQ(strlen(record.otherInfo), std::min(length, kSlosOtherInfoMax));
  }
}

TEST_F(FileTest, PlainOpenMapsTheErrnoOfAFailedOpen) {
  writeFile(at("file"), "x");
  const std::pair<int, int32_t> cases[] = {
      {ENOENT, -5}, {EACCES, -3}, {ENOSPC, -6}, {EPERM, -8}, {EIO, -8}};
  for (const auto& [error, code] : cases) {
    dorq_test::armFault(dorq_test::Wrapper::Open, 1, error);
    EXPECT_EQ(rec(plainOpen(at("file")).record), rec(code, error, "open failed", "SlfFopen1"));
  }
}

// A line longer than size - 1 bytes comes in pieces; end of file is -2 and
// writes nothing into the record; reading a write-only stream is a bad handle.
TEST_F(FileTest, ReadsLinesInPiecesAndReportsEndOfFile) {
  writeFile(at("env.zan"), "abc\ndefghij\nxyz");
  auto opened = plainOpen(at("env.zan"));
  ASSERT_TRUE(opened.handle);
  slosErrRec record = patternRecord();
  char buf[5];
  for (const char* piece : {"abc\n", "defg", "hij\n", "xyz"}) {
    ASSERT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), 0);
    EXPECT_STREQ(buf, piece);
  }
  EXPECT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), -2);
  EXPECT_TRUE(untouched(record));
  auto out = plainOpen(at("out"), nullptr, 1);
  EXPECT_EQ(SlfFgts(out.handle.get(), buf, sizeof buf, &record, 0), -1);
  EXPECT_EQ(rec(record), rec(-4, EBADF, "fgets failed", "SlfFgets1"));
}

// A failed close still releases the handle and leaves no descriptor open.
TEST_F(FileTest, ReportsFailedClosesAndReleasesTheHandle) {
  writeFile(at("file"), "x");
  slosErrRec record = patternRecord();
  const int before = openDescriptors();
  auto opened = plainOpen(at("file"));
  dorq_test::armFault(dorq_test::Wrapper::Fclose, 1, EBADF);
  EXPECT_EQ(SlfFclose(opened.handle.release(), &record, 0), -1);
  EXPECT_EQ(rec(record), rec(-4, EBADF, "fclose failed", "SlfFclose1"));
  EXPECT_EQ(openDescriptors(), before);
}

// Refused: a ".." anywhere in the directory part or leading the last component.
TEST_F(FileTest, GuardedOpenRefusesParentReferences) {
  writeFile(at("env..zan"), "x");
  const std::string b = base();
  const std::pair<std::string, const char*> refused[] = {
      {b + "/inst/../env.zan", nullptr}, {b + "/a..b/env.zan", nullptr},
      {b + "/inst/..env.zan", nullptr},  {"env.zan", "/srv/inst/.."},
      {"../env.zan", b.c_str()},         {"..", nullptr},
  };
  for (const auto& [name, dir] : refused) {
    const auto opened = guardedOpen(name, dir);
    EXPECT_EQ(rec(opened.record), rec(-9, 0, "parent directory references exis", "slsfopen2"));
    EXPECT_STREQ(opened.record.otherInfo, "parent directory references exist");
  }
  EXPECT_TRUE(guardedOpen(b + "/env..zan").handle);
  EXPECT_TRUE(guardedOpen("env..zan", b.c_str()).handle);
}

// A composed path of 4094 characters opens, one of 4095 is refused, however composed.
TEST_F(FileTest, GuardedOpenAcceptsPathsOf4094CharactersAndRefuses4095) {
  const std::string dir = makeDeepDir(base(), 3900);
  const std::string fits(4094 - dir.size() - 1, 'f');
  const std::string over(4095 - dir.size() - 1, 'o');
  writeFile(dir + "/" + fits, "fits\n");
  writeFile(dir + "/" + over, "over\n");
  const std::string slashed = dir + "/";
  for (const char* d : {dir.c_str(), slashed.c_str(), static_cast<const char*>(nullptr)}) {
    const std::string prefix = d == nullptr ? slashed : "";
    EXPECT_TRUE(guardedOpen(prefix + fits, d).handle) << (d == nullptr ? "bare" : d);
    EXPECT_EQ(rec(guardedOpen(prefix + over, d).record),
              rec(-11, 0, "file name too long", "SlfFopen"));
  }
  // A directory check puts the working directory before a relative name.
  ASSERT_EQ(chdir(makeDeepDir(base(), 4000).c_str()), 0);
  const std::string name = std::string(150, 'n') + "/env.zan";
  EXPECT_EQ(rec(guardedOpen(name, nullptr, 0, kSlfFlagResolveDir).record),
            rec(-11, 0, "file name too long", "slsfopen3"));
  EXPECT_EQ(rec(guardedOpen(name).record), rec(-5, ENOENT, "open failed", "SlfFopen1"));
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FileTest, GuardedOpenRefusesLinksHardLinksAndDirectoriesForAnyAccess) {
  writeFile(at("file"), "x");
  writeFile(at("twice"), "x");
  ASSERT_EQ(link(at("twice").c_str(), at("twice2").c_str()), 0);
  makeLink(at("file"), at("link"));
  makeLink(at("nowhere"), at("dangling"));
  makeDir(at("dir"), 0755);
  ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
  const std::string softLink = rec(-9, 0, "soft link detected", "slsfopen4");
  const std::string hardLinks = rec(-9, 0, "hard links detected", "slsfopen5");
  const std::pair<std::string, std::string> cases[] = {
      {at("link"), softLink},
      {at("dangling"), softLink},
      {at("twice"), hardLinks},
      {at("dir"), hardLinks},  // a directory has two links or more
      {"/proc/sys/kernel", rec(-9, 0, "Input is a Directory", "slsfopen5")},
      {at("fifo"), rec(-9, 0, "not a regular file", "slsfopen5")},  // never waits for a writer
      {"/dev/null", rec(-9, 0, "not a regular file", "slsfopen5")},
  };
  for (const auto& [name, want] : cases) {
    for (const int32_t access : {0, 1, 2}) {
      EXPECT_EQ(rec(guardedOpen(name, nullptr, access).record), want) << name << " " << access;
    }
  }
  EXPECT_EQ(readFile(at("twice")), "x");
  EXPECT_EQ(readFile(at("nowhere")), "");
  EXPECT_EQ(rec(guardedOpen(at("file/x")).record), rec(-8, ENOTDIR, "lstat failed", "slsfopen3"));
  EXPECT_EQ(rec(guardedOpen(at("missing")).record), rec(-5, ENOENT, "open failed", "SlfFopen1"));
  // A file that is not there yet is opened for writing, and so created.
  EXPECT_TRUE(guardedOpen("new", base().c_str(), 1).handle);
  EXPECT_EQ(access(at("new").c_str(), F_OK), 0);
}

TEST_F(FileTest, ResolutionCheckRefusesAnyDirectoryNotWrittenAsItResolves) {
  makeDir(at("real"), 0755);
  writeFile(at("real/env.zan"), "x");
  makeLink(at("real"), at("viaLink"));
  const auto open = [&](const std::string& dir) {
    return guardedOpen("env.zan", dir.c_str(), 0, kSlfFlagResolveDir);
  };
  for (const std::string& dir : {at("viaLink"), at("./real"), at("real/.")}) {
    EXPECT_EQ(rec(open(dir).record), rec(-9, 0, "soft link in path", "slsfopen4")) << dir;
  }
  for (const std::string& dir : {at("real"), at("real/"), base() + "//real//"}) {
    EXPECT_TRUE(open(dir).handle) << dir;
  }
  EXPECT_EQ(rec(open(at("missing")).record), rec(-8, ENOENT, "realpath failed", "slsfopen3"));
}

TEST_F(RootFileTest, SecurityCheckRefusesDirectoriesOthersCanWrite) {
  makeDir(at("safe"), 0755);
  makeDir(at("wide"), 0775);
  writeFile(at("safe/env.zan"), "x");
  writeFile(at("wide/env.zan"), "x");
  const int32_t both = kSlfFlagSecureDir | kSlfFlagResolveDir;
  const std::string notSecure = rec(-9, 0, "Input path is not secure", "slsfopen4");
  EXPECT_TRUE(guardedOpen("env.zan", at("safe").c_str(), 0, both).handle);
  EXPECT_EQ(rec(guardedOpen("env.zan", at("wide").c_str(), 0, both).record), notSecure);
  // A relative name without a directory is judged by the working directory.
  ASSERT_EQ(chdir(at("wide").c_str()), 0);
  EXPECT_EQ(rec(guardedOpen("env.zan", nullptr, 0, both).record), notSecure);
  ASSERT_EQ(chdir(at("safe").c_str()), 0);
  EXPECT_TRUE(guardedOpen("env.zan", nullptr, 0, both).handle);
  ASSERT_EQ(chdir("/"), 0);
  // The path check's own failures reach the caller as it filled them.
  EXPECT_EQ(rec(guardedOpen("env.zan", at("missing").c_str(), 0, kSlfFlagSecureDir).record),
            rec(-8, 0, "lstat failure", "SldirIsPthse"));
}

// A file swapped in between examination and open (by the open hook) is
// refused without waiting and with nothing left open: another file, even one
// with the same inode number on another device, a FIFO, or a link.
TEST_F(RootFileTest, GuardedOpenRefusesAFileReplacedBetweenExaminationAndOpen) {
  makeDir(at("a"), 0755);
  makeDir(at("b"), 0755);
  ASSERT_TRUE(dorq_test::mountTmpfs(at("a")) && dorq_test::mountTmpfs(at("b")));
  writeFile(at("a/env.zan"), "original\n");
  writeFile(at("b/twin"), "twin\n");
  const auto inode = [&](const char* name) {
    struct stat status {};
    return stat(at(name).c_str(), &status) == 0 ? status.st_ino : 0;
  };
  ASSERT_EQ(inode("b/twin"), inode("a/env.zan")) << "fresh tmpfs mounts number their inodes alike";
  const std::string altered = rec(-9, 0, "target altered", "slsfopen7");
  const std::string twin = at("b/twin");
  const std::string other = at("a/other");
  const std::string fifo = at("a/fifo");
  const struct {
    const char* name;
    std::function<void(const char*)> swap;
    std::string want;
  } cases[] = {
      {"a/env.zan",
       [&](const char* p) { (void)!mount(twin.c_str(), p, nullptr, MS_BIND, nullptr); }, altered},
      {"a/env2", [&](const char* p) { (void)!rename(other.c_str(), p); }, altered},
      {"a/env3", [&](const char* p) { (void)!rename(fifo.c_str(), p); }, altered},
      {"a/env4", [&](const char* p) { (void)!unlink(p), (void)!symlink(twin.c_str(), p); },
       rec(-8, ELOOP, "open failed", "SlfFopen1")},
  };
  for (const auto& c : cases) {
    writeFile(at(c.name), "original\n");
    writeFile(other, "other\n");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    dorq_test::setOpenHook([&](const char* path, int, int) { c.swap(path); });
    const int before = openDescriptors();
    EXPECT_EQ(rec(guardedOpen(at(c.name)).record), c.want) << c.name;
    EXPECT_EQ(openDescriptors(), before);
    dorq_test::resetFaults();
    unlink(fifo.c_str());
  }
  umount(at("a/env.zan").c_str());
  umount(at("a").c_str());
  umount(at("b").c_str());
}

// Each wrapper call of a guarded open with the directory check through nested
// links, a read and a close, failed in turn: a system failure (-8) in the
// record, with no descriptor left open and no memory leaked.
TEST_F(RootFileTest, EveryWrapperFailureIsACleanRefusal) {
  static constexpr char kContent[] = "KVL_ADMIN=/net/admin\n";
  makeDir(at("real"), 0755);  // l1/sub -> l2/sub -> real/sub: the check nests two deep
  makeDir(at("real/sub"), 0750);
  writeFile(at("real/sub/env.zan"), kContent);
  makeLink(at("real"), at("l2"));
  makeLink(at("l2"), at("l1"));
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
    return read && strcmp(buf, kContent) == 0 && closed ? 0 : record.code;
  };
  ASSERT_EQ(run(), 0);
  unsigned total = 0;
  for (const dorq_test::WrapperCase& w : dorq_test::kWrappers) {
    dorq_test::resetFaults();
    (void)run();
    const unsigned calls = dorq_test::callCount(w.wrapper);
    total += calls;
    for (unsigned k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      const int before = openDescriptors();
      dorq_test::resetFaults();
      dorq_test::armFault(w.wrapper, k, w.error);
      EXPECT_EQ(run(), -8);
      dorq_test::resetFaults();
      EXPECT_EQ(openDescriptors(), before);
      EXPECT_FALSE(__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0);
    }
  }
  // Three levels of allocations, the handle, one fopen and one fclose.
  EXPECT_GE(total, 15U) << "the scenario hardly reaches the wrappers";
}

}  // namespace
