// The guarded open against real files, links, mounts and replacements: every
// refusal with its record, the length limits and the directory checks.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tests/securefile/sf_util.h"
#include "tests/support/require_root.h"

namespace {

using sf_test::guardedOpen;
using sf_test::rec;

class GuardedOpen : public sf_test::FileTest {};

// Refused: a ".." anywhere in the directory part or leading the last component.
TEST_F(GuardedOpen, RefusesParentReferences) {
  dorq_test::writeFile(at("env..zan"), "x");
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

// A composed path of 4094 characters opens, one of 4095 is refused, whether
// the directory ends in "/" or not or the name is given bare.
TEST_F(GuardedOpen, AcceptsPathsOf4094CharactersAndRefuses4095) {
  const std::string dir = sf_test::makeDeepDir(base(), 3900);
  const std::string fits(4094 - dir.size() - 1, 'f');
  const std::string over(4095 - dir.size() - 1, 'o');
  dorq_test::writeFile(dir + "/" + fits, "fits\n");
  dorq_test::writeFile(dir + "/" + over, "over\n");
  const std::string slashed = dir + "/";
  for (const char* d : {dir.c_str(), slashed.c_str(), static_cast<const char*>(nullptr)}) {
    const std::string prefix = d == nullptr ? slashed : "";
    EXPECT_TRUE(guardedOpen(prefix + fits, d).handle) << (d == nullptr ? "bare" : d);
    EXPECT_EQ(rec(guardedOpen(prefix + over, d).record),
              rec(-11, 0, "file name too long", "SlfFopen"));
  }
  // A directory check puts the working directory before a relative name.
  const std::string deep = sf_test::makeDeepDir(base(), 4000);
  ASSERT_EQ(chdir(deep.c_str()), 0);
  const std::string name = std::string(150, 'n') + "/env.zan";
  EXPECT_EQ(rec(guardedOpen(name, nullptr, 0, kSlfFlagResolveDir).record),
            rec(-11, 0, "file name too long", "slsfopen3"));
  EXPECT_EQ(rec(guardedOpen(name).record), rec(-5, ENOENT, "open failed", "SlfFopen1"));
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(GuardedOpen, RefusesLinksHardLinksAndDirectoriesForAnyAccess) {
  dorq_test::writeFile(at("file"), "x");
  dorq_test::writeFile(at("twice"), "x");
  ASSERT_EQ(link(at("twice").c_str(), at("twice2").c_str()), 0);
  sf_test::makeLink(at("file"), at("link"));
  sf_test::makeLink(at("nowhere"), at("dangling"));
  sf_test::makeDir(at("dir"), 0755);
  const std::string softLink = rec(-9, 0, "soft link detected", "slsfopen4");
  const std::string hardLinks = rec(-9, 0, "hard links detected", "slsfopen5");
  const std::pair<std::string, std::string> cases[] = {
      {at("link"), softLink},
      {at("dangling"), softLink},
      {at("twice"), hardLinks},
      {at("dir"), hardLinks},  // a directory has two links or more
      {"/proc/sys/kernel", rec(-9, 0, "Input is a Directory", "slsfopen5")},
  };
  for (const auto& [name, want] : cases) {
    for (const int32_t access : {0, 1, 2}) {
      EXPECT_EQ(rec(guardedOpen(name, nullptr, access).record), want) << name << " " << access;
    }
  }
  EXPECT_EQ(dorq_test::readFile(at("twice")), "x");
  EXPECT_EQ(dorq_test::readFile(at("nowhere")), "");
  EXPECT_EQ(rec(guardedOpen(at("file/x")).record), rec(-8, ENOTDIR, "lstat failed", "slsfopen3"));
  EXPECT_EQ(rec(guardedOpen(at("missing")).record), rec(-5, ENOENT, "open failed", "SlfFopen1"));
  // A file that is not there yet is opened for writing, and so created.
  EXPECT_TRUE(guardedOpen("new", base().c_str(), 1).handle);
  EXPECT_EQ(access(at("new").c_str(), F_OK), 0);
}

TEST_F(GuardedOpen, ResolutionCheckRefusesAnyDirectoryNotWrittenAsItResolves) {
  sf_test::makeDir(at("real"), 0755);
  dorq_test::writeFile(at("real/env.zan"), "x");
  sf_test::makeLink(at("real"), at("viaLink"));
  for (const std::string& dir : {at("viaLink"), at("./real"), at("real/.")}) {
    EXPECT_EQ(rec(guardedOpen("env.zan", dir.c_str(), 0, kSlfFlagResolveDir).record),
              rec(-9, 0, "soft link in path", "slsfopen4"))
        << dir;
  }
  for (const std::string& dir : {at("real"), at("real/"), base() + "//real//"}) {
    EXPECT_TRUE(guardedOpen("env.zan", dir.c_str(), 0, kSlfFlagResolveDir).handle) << dir;
  }
  EXPECT_EQ(rec(guardedOpen("env.zan", at("missing").c_str(), 0, kSlfFlagResolveDir).record),
            rec(-8, ENOENT, "realpath failed", "slsfopen3"));
}

TEST_F(GuardedOpen, SecurityCheckRefusesDirectoriesOthersCanWrite) {
  DORQ_REQUIRE_ROOT();
  sf_test::makeDir(at("safe"), 0755);
  sf_test::makeDir(at("wide"), 0775);
  dorq_test::writeFile(at("safe/env.zan"), "x");
  dorq_test::writeFile(at("wide/env.zan"), "x");
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

// The fopen hook runs between examination and open: a file swapped in there,
// even one with the same inode number on another device, is refused and
// nothing stays open.
TEST_F(GuardedOpen, RefusesAFileReplacedBetweenExaminationAndOpen) {
  DORQ_REQUIRE_ROOT();
  sf_test::makeDir(at("a"), 0755);
  sf_test::makeDir(at("b"), 0755);
  ASSERT_TRUE(dorq_test::mountTmpfs(at("a")) && dorq_test::mountTmpfs(at("b")));
  dorq_test::writeFile(at("a/env.zan"), "original\n");
  dorq_test::writeFile(at("a/env2"), "original\n");
  dorq_test::writeFile(at("a/other"), "other\n");
  dorq_test::writeFile(at("b/twin"), "twin\n");
  struct stat target {};
  struct stat twin {};
  ASSERT_EQ(stat(at("a/env.zan").c_str(), &target), 0);
  ASSERT_EQ(stat(at("b/twin").c_str(), &twin), 0);
  ASSERT_EQ(twin.st_ino, target.st_ino) << "fresh tmpfs mounts number their inodes alike";
  const std::pair<const char*, std::string> swaps[] = {{"a/env.zan", at("b/twin")},
                                                       {"a/env2", at("a/other")}};
  for (const auto& swap : swaps) {
    dorq_test::setFopenHook([&swap](const char* path) {
      unlink(path);
      symlink(swap.second.c_str(), path);
    });
    const int before = sf_test::openDescriptors();
    EXPECT_EQ(rec(guardedOpen(at(swap.first)).record), rec(-9, 0, "target altered", "slsfopen7"));
    EXPECT_EQ(sf_test::openDescriptors(), before);
  }
  umount(at("a").c_str());
  umount(at("b").c_str());
}

}  // namespace
