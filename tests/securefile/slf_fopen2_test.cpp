// The guarded open: every refusal with its record, the length limits, the
// parent-reference rule, the directory checks and the examine-open-compare
// sequence, against real files, links, mounts and kernel faults.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "securefile/slf_file.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/private_ns.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace {

using sf_test::Fill;
using sf_test::filledAs;
using sf_test::guardedOpen;

class GuardedOpen : public sf_test::FileTest {};

std::string contents(FILE* stream) {
  char buf[64] = {};
  return fgets(buf, sizeof buf, stream) == nullptr ? std::string() : std::string(buf);
}

TEST_F(GuardedOpen, ComposesDirectoryAndNameWithOneSeparator) {
  dorq_test::writeFile(at("env.zan"), "K=V\n");
  for (const std::string& dir : {base(), base() + "/"}) {
    auto opened = guardedOpen("env.zan", dir.c_str());
    ASSERT_TRUE(opened.handle) << dir;
    EXPECT_EQ(contents(opened.stream()), "K=V\n");
  }
  // An empty directory is no directory.
  auto opened = guardedOpen(at("env.zan"), "");
  ASSERT_TRUE(opened.handle);
  EXPECT_EQ(contents(opened.stream()), "K=V\n");
}

TEST_F(GuardedOpen, RefusesParentReferencesInTheDirectoryOrLeadingTheLastComponent) {
  struct Case {
    std::string name;
    const char* dir;
    bool refused;
  };
  sf_test::ScopedCwd cwd(base());
  dorq_test::writeFile(at("env..zan"), "x");
  dorq_test::writeFile(at("a..b"), "x");
  const std::string b = base();
  const Case cases[] = {
      {b + "/inst/../env.zan", nullptr, true},
      {b + "/a..b/env.zan", nullptr, true},
      {b + "/inst/..env.zan", nullptr, true},
      {"env.zan", "/srv/inst/..", true},
      {"../env.zan", b.c_str(), true},
      {"..env", nullptr, true},
      {"..", nullptr, true},
      {b + "/env..zan", nullptr, false},
      {"a..b", nullptr, false},
      {"env..zan", b.c_str(), false},
  };
  for (const Case& c : cases) {
    const auto opened = guardedOpen(c.name, c.dir);
    EXPECT_EQ(opened.handle == nullptr, c.refused) << c.name;
    if (c.refused) {
      EXPECT_TRUE(
          filledAs(opened.record, Fill{-9, 0, "parent directory references exis", "slsfopen2"}));
      EXPECT_STREQ(opened.record.otherInfo, "parent directory references exist");
    }
  }
}

// A 4094-character path opens; at 4095 characters the refusal comes from
// the length test before anything is examined when the directory ends in
// "/", and from the plain open after the examination otherwise (a link there
// is then reported as a link).
TEST_F(GuardedOpen, AcceptsComposedPathsOf4094CharactersAndRefuses4095) {
  const std::string dir = sf_test::makeDeepDir(base(), 3900);
  const std::string fits(4094 - dir.size() - 1, 'f');
  const std::string over(4095 - dir.size() - 1, 'o');
  const std::string overLink(4095 - dir.size() - 1, 'l');
  dorq_test::writeFile(dir + "/" + fits, "fits\n");
  dorq_test::writeFile(dir + "/" + over, "over\n");
  sf_test::makeLink(dir + "/" + fits, dir + "/" + overLink);
  const std::string dirSlash = dir + "/";
  const Fill tooLong{-11, 0, "file name too long", "SlfFopen"};

  {
    auto opened = guardedOpen(fits, dir.c_str());
    ASSERT_TRUE(opened.handle);
    EXPECT_EQ(contents(opened.stream()), "fits\n");
    auto bare = guardedOpen(dir + "/" + fits);
    ASSERT_TRUE(bare.handle);
    auto slashed = guardedOpen(fits, dirSlash.c_str());
    ASSERT_TRUE(slashed.handle);
  }
  for (const std::string& name : {over, overLink}) {
    auto refused = guardedOpen(name, dirSlash.c_str());
    EXPECT_FALSE(refused.handle);
    EXPECT_TRUE(filledAs(refused.record, tooLong)) << "directory ending in /";
  }
  auto examined = guardedOpen(over, dir.c_str());
  EXPECT_FALSE(examined.handle);
  EXPECT_TRUE(filledAs(examined.record, tooLong));
  auto bare = guardedOpen(dir + "/" + over);
  EXPECT_FALSE(bare.handle);
  EXPECT_TRUE(filledAs(bare.record, tooLong));
  auto link = guardedOpen(overLink, dir.c_str());
  EXPECT_FALSE(link.handle);
  EXPECT_TRUE(filledAs(link.record, Fill{-9, 0, "soft link detected", "slsfopen4"}));
  auto bareLink = guardedOpen(dir + "/" + overLink);
  EXPECT_TRUE(filledAs(bareLink.record, Fill{-9, 0, "soft link detected", "slsfopen4"}));
  // A bare name over 4095 never reaches lstat, which would say ENAMETOOLONG.
  auto longer = guardedOpen(dir + "/" + over + "x");
  EXPECT_TRUE(filledAs(longer.record, tooLong));
}

TEST_F(GuardedOpen, RefusesLinksHardLinksAndDirectories) {
  dorq_test::writeFile(at("file"), "x");
  dorq_test::writeFile(at("twice"), "x");
  ASSERT_EQ(link(at("twice").c_str(), at("twice2").c_str()), 0);
  sf_test::makeLink(at("file"), at("link"));
  sf_test::makeLink(at("nowhere"), at("dangling"));
  sf_test::makeDir(at("dir"), 0755);
  struct Case {
    std::string name;
    const char* dir;
    Fill fill;
  };
  const Case cases[] = {
      {at("link"), nullptr, {-9, 0, "soft link detected", "slsfopen4"}},
      {at("dangling"), nullptr, {-9, 0, "soft link detected", "slsfopen4"}},
      {at("twice"), nullptr, {-9, 0, "hard links detected", "slsfopen5"}},
      // A directory of two or more links counts as hard-linked first ...
      {at("dir"), nullptr, {-9, 0, "hard links detected", "slsfopen5"}},
      // ... and /proc/sys directories have one link only.
      {"kernel", "/proc/sys", {-9, 0, "Input is a Directory", "slsfopen5"}},
      {at("file/x"), nullptr, {-8, ENOTDIR, "lstat failed", "slsfopen3"}},
      {at("missing"), nullptr, {-5, ENOENT, "open failed", "SlfFopen1"}},
  };
  for (const Case& c : cases) {
    // Checks refuse before any open, whatever the access.
    for (const int32_t access : {0, 1, 2}) {
      if (access != 0 && c.fill.code != -9) {
        continue;
      }
      const auto opened = guardedOpen(c.name, c.dir, access);
      EXPECT_FALSE(opened.handle) << c.name;
      EXPECT_TRUE(filledAs(opened.record, c.fill)) << c.name << " access " << access;
    }
  }
  // Refusals leave the file alone, even for writing.
  EXPECT_EQ(dorq_test::readFile(at("twice")), "x");
}

// A file that is not there yet is opened (and so created) without checks.
TEST_F(GuardedOpen, CreatesAMissingFileForWriting) {
  auto opened = guardedOpen("new", base().c_str(), 1);
  ASSERT_TRUE(opened.handle);
  EXPECT_EQ(fputs("made\n", opened.stream()), 1);
  opened.handle.reset();
  EXPECT_EQ(dorq_test::readFile(at("new")), "made\n");
}

TEST_F(GuardedOpen, OtherKindsAndFileLocationRequestsPassStraightThrough) {
  auto out = guardedOpen("../ignored", "/nowhere", 0, 0, kSlfKindStdout);
  ASSERT_TRUE(out.handle);
  EXPECT_EQ(out.stream(), stdout);
  sf_test::makeDir(at("sub"), 0755);
  dorq_test::writeFile(at("file"), "x");
  for (const int32_t vfs : {kSlfVfsTry, kSlfVfsOption}) {
    auto opened = guardedOpen("sub/../file", base().c_str(), 0, 0, kSlfKindNamed, vfs);
    EXPECT_TRUE(opened.handle) << "vfsFlags " << vfs;
  }
}

// The working directory vanishes under the process: getcwd fails.
TEST_F(GuardedOpen, ReportsAFailedGetcwd) {
  sf_test::makeDir(at("gone"), 0755);
  sf_test::ScopedCwd cwd(at("gone"));
  ASSERT_EQ(rmdir(at("gone").c_str()), 0);
  for (const int32_t flags : {kSlfFlagResolveDir, kSlfFlagSecureDir}) {
    const auto opened = guardedOpen("env.zan", nullptr, 0, flags);
    EXPECT_FALSE(opened.handle);
    EXPECT_TRUE(filledAs(opened.record, Fill{-8, ENOENT, "getcwd failed", "slsfopen3"}));
  }
}

// The working directory and a relative name's directory part that do not
// fit one path buffer together are refused as a name too long.
TEST_F(GuardedOpen, RefusesAWorkingDirectoryAndNameThatDoNotFitTogether) {
  const std::string deep = sf_test::makeDeepDir(base(), 4000);
  sf_test::ScopedCwd cwd(deep);
  const std::string name = std::string(150, 'n') + "/env.zan";
  const auto opened = guardedOpen(name, nullptr, 0, kSlfFlagResolveDir);
  EXPECT_FALSE(opened.handle);
  EXPECT_TRUE(filledAs(opened.record, Fill{-11, 0, "file name too long", "slsfopen3"}));
  // Without the directory checks the same name is simply not there.
  const auto plain = guardedOpen(name);
  EXPECT_TRUE(filledAs(plain.record, Fill{-5, ENOENT, "open failed", "SlfFopen1"}));
}

TEST_F(GuardedOpen, ResolutionCheckRefusesLinksDotsAndRelativeDirectories) {
  sf_test::makeDir(at("real"), 0755);
  dorq_test::writeFile(at("real/env.zan"), "x");
  sf_test::makeLink(at("real"), at("viaLink"));
  const Fill softLink{-9, 0, "soft link in path", "slsfopen4"};
  for (const std::string& dir : {at("viaLink"), at("./real"), at("real/.")}) {
    const auto opened = guardedOpen("env.zan", dir.c_str(), 0, kSlfFlagResolveDir);
    EXPECT_FALSE(opened.handle) << dir;
    EXPECT_TRUE(filledAs(opened.record, softLink)) << dir;
  }
  {
    sf_test::ScopedCwd cwd(base());
    const auto relative = guardedOpen("env.zan", "real", 0, kSlfFlagResolveDir);
    EXPECT_TRUE(filledAs(relative.record, softLink));
    // With no directory argument a relative name is taken from the cwd.
    auto fromCwd = guardedOpen("real/env.zan", nullptr, 0, kSlfFlagResolveDir);
    EXPECT_TRUE(fromCwd.handle);
  }
  for (const std::string& dir : {at("real"), at("real/"), base() + "//real//"}) {
    auto opened = guardedOpen("env.zan", dir.c_str(), 0, kSlfFlagResolveDir);
    EXPECT_TRUE(opened.handle) << dir;
  }
  const Fill noDir{-8, ENOENT, "realpath failed", "slsfopen3"};
  EXPECT_TRUE(
      filledAs(guardedOpen("env.zan", at("missing").c_str(), 0, kSlfFlagResolveDir).record, noDir));
  // A file directly in "/" has an empty directory text, which never resolves.
  EXPECT_TRUE(
      filledAs(guardedOpen("/dorq-no-such-file", nullptr, 0, kSlfFlagResolveDir).record, noDir));
}

TEST_F(GuardedOpen, SecurityCheckRefusesInsecureAndRelativeDirectories) {
  DORQ_REQUIRE_ROOT();
  sf_test::makeDir(at("safe"), 0755);
  sf_test::makeDir(at("wide"), 0775);
  dorq_test::writeFile(at("safe/env.zan"), "x");
  dorq_test::writeFile(at("wide/env.zan"), "x");
  auto safe = guardedOpen("env.zan", at("safe").c_str(), 0, kSlfFlagSecureDir | kSlfFlagResolveDir);
  EXPECT_TRUE(safe.handle);
  const auto wide = guardedOpen("env.zan", at("wide").c_str(), 0, kSlfFlagSecureDir);
  EXPECT_FALSE(wide.handle);
  EXPECT_TRUE(filledAs(wide.record, Fill{-9, 0, "Input path is not secure", "slsfopen4"}));
  {
    // The working directory counts for a relative name without directory.
    sf_test::ScopedCwd cwd(at("wide"));
    EXPECT_TRUE(filledAs(guardedOpen("env.zan", nullptr, 0, kSlfFlagSecureDir).record,
                         Fill{-9, 0, "Input path is not secure", "slsfopen4"}));
  }
  {
    sf_test::ScopedCwd cwd(at("safe"));
    auto opened = guardedOpen("env.zan", nullptr, 0, kSlfFlagSecureDir);
    EXPECT_TRUE(opened.handle);
    // A relative directory argument is not made absolute.
    EXPECT_TRUE(filledAs(guardedOpen("env.zan", ".", 0, kSlfFlagSecureDir).record,
                         Fill{-1, 0, "Input string is relative path", "SldirIsPthse"}));
  }
  // The path check's own failures reach the caller as it filled them.
  EXPECT_TRUE(filledAs(guardedOpen("env.zan", at("missing").c_str(), 0, kSlfFlagSecureDir).record,
                       Fill{-8, 0, "lstat failure", "SldirIsPthse"}));
  EXPECT_TRUE(filledAs(guardedOpen("/dorq-no-such-file", nullptr, 0, kSlfFlagSecureDir).record,
                       Fill{-1, 0, "Input string is relative path", "SldirIsPthse"}));
}

// The fopen hook runs between the examination and the open.
TEST_F(GuardedOpen, RefusesAFileReplacedBetweenExaminationAndOpen) {
  dorq_test::writeFile(at("env.zan"), "original\n");
  dorq_test::writeFile(at("other"), "other\n");
  dorq_test::setFopenHook(
      [this](const char*) { rename(at("other").c_str(), at("env.zan").c_str()); });
  const int before = sf_test::openDescriptors();
  const auto opened = guardedOpen("env.zan", base().c_str());
  EXPECT_FALSE(opened.handle);
  EXPECT_TRUE(filledAs(opened.record, Fill{-9, 0, "target altered", "slsfopen7"}));
  EXPECT_EQ(sf_test::openDescriptors(), before);
}

// Two fresh tmpfs mounts number their inodes alike: a replacement with the
// same inode number on another device is caught by the device number.
TEST_F(GuardedOpen, RefusesAReplacementWithTheSameInodeOnAnotherDevice) {
  DORQ_REQUIRE_ROOT();
  sf_test::makeDir(at("a"), 0755);
  sf_test::makeDir(at("b"), 0755);
  ASSERT_TRUE(dorq_test::mountTmpfs(at("a")));
  ASSERT_TRUE(dorq_test::mountTmpfs(at("b")));
  dorq_test::writeFile(at("a/env.zan"), "a\n");
  struct stat target {};
  ASSERT_EQ(stat(at("a/env.zan").c_str(), &target), 0);
  struct stat twin {};
  for (int i = 0; i < 100 && twin.st_ino < target.st_ino; ++i) {
    dorq_test::writeFile(at("b/f" + std::to_string(i)), "b\n");
    ASSERT_EQ(stat(at("b/f" + std::to_string(i)).c_str(), &twin), 0);
    if (twin.st_ino == target.st_ino) {
      dorq_test::setFopenHook([this, i](const char*) {
        unlink(at("a/env.zan").c_str());
        symlink(at("b/f" + std::to_string(i)).c_str(), at("a/env.zan").c_str());
      });
    }
  }
  ASSERT_EQ(twin.st_ino, target.st_ino) << "no file of the same inode number";
  ASSERT_NE(twin.st_dev, target.st_dev);
  const int before = sf_test::openDescriptors();
  const auto opened = guardedOpen("env.zan", at("a").c_str());
  EXPECT_TRUE(filledAs(opened.record, Fill{-9, 0, "target altered", "slsfopen7"}));
  EXPECT_EQ(sf_test::openDescriptors(), before);
  umount(at("a").c_str());
  umount(at("b").c_str());
}

// From now on every stat call of this process fails with `error`.
bool failStatCalls(int error) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fstat, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_newfstatat, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_statx, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
  };
  struct sock_fprog program {
    static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter
  };
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

struct ChildOpen {
  bool opened;
  slosErrRec record;
  int descriptorsLeft;
  bool leaks;
};

// The kernel refuses fstat once the file has been examined and just before
// it is opened; in a child, since the filter stays for the process's life.
TEST_F(GuardedOpen, ReportsAFailedFstatAndLeavesNothingOpen) {
  dorq_test::writeFile(at("env.zan"), "x");
  const auto child = sf_test::inChild<ChildOpen>([this] {
    ChildOpen out{};
    dorq_test::setFopenHook([](const char*) { failStatCalls(EIO); });
    const int before = sf_test::openDescriptors();
    SlfFile* handle = SlfFopen2("env.zan", base().c_str(), 0, 0, kSlfKindNamed, &out.record, 0);
    out.opened = handle != nullptr;
    out.descriptorsLeft = sf_test::openDescriptors() - before;
    out.leaks = sf_test::childLeaks();
    return out;
  });
  ASSERT_TRUE(child.has_value());
  EXPECT_FALSE(child->opened);
  EXPECT_TRUE(filledAs(child->record, Fill{-8, EIO, "fstat failed", "slsfopen6"}));
  EXPECT_EQ(child->descriptorsLeft, 0);
  EXPECT_FALSE(child->leaks);
}

TEST_F(GuardedOpen, ReportsAccessDeniedToAnOrdinaryUser) {
  DORQ_REQUIRE_ROOT();
  dorq_test::writeFile(at("env.zan"), "x", 0600);
  const auto child = sf_test::inChild<ChildOpen>([this] {
    ChildOpen out{};
    if (setresuid(sf_test::kUserA, sf_test::kUserA, sf_test::kUserA) != 0) {
      return out;
    }
    out.opened = SlfFopen2("env.zan", base().c_str(), 0, 0, kSlfKindNamed, &out.record, 0);
    return out;
  });
  ASSERT_TRUE(child.has_value());
  EXPECT_FALSE(child->opened);
  EXPECT_TRUE(filledAs(child->record, Fill{-3, EACCES, "open failed", "SlfFopen1"}));
}

}  // namespace
