// The path security check over real directory trees with real owners,
// modes and symbolic links.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>

#include "securefile/sldir_pthsec.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::Wrapper;
using sf_test::Fill;
using sf_test::filledAs;
using sf_test::kUserA;
using sf_test::kUserB;

constexpr const char* kTag = "SldirIsPthse";

struct Outcome {
  int result;
  slosErrRec record;
};

// Runs the check on a record full of a pattern; a verdict (0 or 1) must
// leave the record exactly as it was.
Outcome check(const char* path) {
  Outcome out{0, sf_test::patternRecord()};
  out.result = SldirIsPthSec(path, &out.record);
  if (out.result >= 0) {
    EXPECT_TRUE(sf_test::sameBytes(out.record, sf_test::patternRecord())) << path;
  }
  return out;
}

Outcome check(const std::string& path) {
  return check(path.c_str());
}

TEST(PathCheck, RefusesNullEmptyAndRelativePaths) {
  Outcome out = check(nullptr);
  EXPECT_EQ(out.result, -5);
  EXPECT_TRUE(filledAs(out.record, Fill{-5, 0, "Path string is empty", kTag}));
  for (const char* path : {"", "srv/inst", "./x", "."}) {
    out = check(path);
    EXPECT_EQ(out.result, -1) << path;
    EXPECT_TRUE(filledAs(out.record, Fill{-1, 0, "Input string is relative path", kTag}));
  }
}

// The root directory is never examined; slashes alone leave nothing to check.
TEST(PathCheck, RootAloneHasNothingToRefuse) {
  EXPECT_EQ(check("/").result, 1);
  EXPECT_EQ(check("///").result, 1);
}

// /proc/self is a link whose reported size (0) is shorter than its text.
TEST(PathCheck, LinkLongerThanItsReportedSizeIsAReadlinkFailure) {
  const Outcome out = check("/proc/self");
  EXPECT_EQ(out.result, -8);
  EXPECT_TRUE(filledAs(out.record, Fill{-8, 0, "readlink failure", kTag}));
}

struct AllocFault {
  Wrapper wrapper;
  unsigned call;
  const char* path;
  const char* message;
};

void PrintTo(const AllocFault& fault, std::ostream* out) {
  std::string message = fault.message;
  std::replace(message.begin(), message.end(), ' ', '_');
  *out << "call" << fault.call << "_" << message;
}

class PathCheckMemory : public ::testing::TestWithParam<AllocFault> {
 protected:
  void TearDown() override { dorq_test::resetFaults(); }
};

// Allocation order: working copy, table, last entry, other entries, link text.
TEST_P(PathCheckMemory, EveryAllocationFailureIsReportedAndNothingLeaks) {
  const AllocFault fault = GetParam();
  dorq_test::armFault(fault.wrapper, fault.call, ENOMEM);
  const Outcome out = check(fault.path);
  EXPECT_EQ(out.result, -8);
  EXPECT_TRUE(filledAs(out.record, Fill{-8, 0, fault.message, kTag}));
}

INSTANTIATE_TEST_SUITE_P(
    Allocations, PathCheckMemory,
    ::testing::Values(AllocFault{Wrapper::Malloc, 1, "/proc/sys/kernel", "Malloc failed"},
                      AllocFault{Wrapper::Calloc, 1, "/proc/sys/kernel", "Malloc failed"},
                      AllocFault{Wrapper::Strdup, 1, "/proc/sys/kernel", "strdup failed"},
                      AllocFault{Wrapper::Malloc, 2, "/proc/sys/kernel", "Malloc Failure"},
                      AllocFault{Wrapper::Malloc, 3, "/proc/sys/kernel", "Malloc Failure"},
                      AllocFault{Wrapper::Malloc, 3, "/proc/self", "Malloc failure"}));

// Trees below a root-owned 0755 base on a private, root-owned 0755 /tmp.
class PathCheckTree : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    ASSERT_TRUE(sf_test::enterSecureTmp());
    base_ = std::make_unique<dorq_test::TempDir>("/tmp");
  }
  std::string at(const std::string& name) const { return base_->path() + "/" + name; }

  std::unique_ptr<dorq_test::TempDir> base_;
};

TEST_F(PathCheckTree, JudgesEachDirectoryByItsWriteBits) {
  struct Case {
    mode_t mode;
    int secure;
  };
  for (const Case c : {Case{0755, 1}, Case{0750, 1}, Case{0700, 1}, Case{0555, 1}, Case{02755, 1},
                       Case{04755, 1}, Case{01755, 1}, Case{0775, 0}, Case{0757, 0}, Case{0765, 0},
                       Case{0777, 0}, Case{01777, 0}, Case{03775, 0}}) {
    char name[16];
    snprintf(name, sizeof name, "m%04o", static_cast<unsigned>(c.mode));
    sf_test::makeDir(at(name), 0755);
    sf_test::makeDir(at(name) + "/sub", 0755);
    ASSERT_EQ(chmod(at(name).c_str(), c.mode), 0);
    EXPECT_EQ(check(at(name)).result, c.secure) << name << " as the last entry";
    EXPECT_EQ(check(at(name) + "/sub").result, c.secure) << name << " on the way";
  }
}

TEST_F(PathCheckTree, AnotherUsersDirectoryIsNotSecureForRoot) {
  sf_test::makeDir(at("theirs"), 0755, kUserA);
  sf_test::makeDir(at("theirs/sub"), 0755);
  EXPECT_EQ(check(at("theirs")).result, 0);
  EXPECT_EQ(check(at("theirs/sub")).result, 0);
}

// The effective user's own directories pass, root's pass, another user's do
// not; run in a child that has become an ordinary user.
TEST_F(PathCheckTree, TrustsTheEffectiveUserAndRootOnly) {
  sf_test::makeDir(at("mine"), 0750, kUserA);
  sf_test::makeDir(at("mine/rootsub"), 0755);
  sf_test::makeDir(at("mine/rootsub/mysub"), 0700, kUserA);
  sf_test::makeDir(at("theirs"), 0755, kUserB);
  sf_test::makeDir(at("mine/wide"), 0775, kUserA);
  const auto results = sf_test::inChild<std::array<int, 4>>([this] {
    std::array<int, 4> r{-100, -100, -100, -100};
    if (setresuid(kUserA, kUserA, kUserA) != 0) {
      return r;
    }
    slosErrRec record;
    r[0] = SldirIsPthSec(at("mine/rootsub/mysub").c_str(), &record);
    r[1] = SldirIsPthSec(at("theirs").c_str(), &record);
    r[2] = SldirIsPthSec(at("mine/wide").c_str(), &record);
    r[3] = sf_test::childLeaks() ? -200 : 0;
    return r;
  });
  ASSERT_TRUE(results.has_value());
  EXPECT_EQ((*results)[0], 1);
  EXPECT_EQ((*results)[1], 0);
  EXPECT_EQ((*results)[2], 0);
  EXPECT_EQ((*results)[3], 0);
}

TEST_F(PathCheckTree, RefusesAFileOnTheWayAndAMissingComponent) {
  dorq_test::writeFile(at("file"), "x");
  for (const std::string& path : {at("file"), at("file/x")}) {
    const Outcome out = check(path);
    EXPECT_EQ(out.result, -4) << path;
    EXPECT_TRUE(filledAs(out.record, Fill{-4, 0, "Path component is not directory", kTag}));
  }
  const Outcome out = check(at("missing/x"));
  EXPECT_EQ(out.result, -8);
  EXPECT_TRUE(filledAs(out.record, Fill{-8, 0, "lstat failure", kTag}));
}

// The last entry is the path as passed in, trailing "/" included.
TEST_F(PathCheckTree, TrailingSlashKeepsTheEntriesButExaminesThePathAsPassed) {
  sf_test::makeDir(at("ok"), 0755);
  sf_test::makeDir(at("wide"), 0777);
  dorq_test::writeFile(at("file"), "x");
  EXPECT_EQ(check(at("ok/")).result, 1);
  EXPECT_EQ(check(at("ok///")).result, 1);
  EXPECT_EQ(check(at("wide/")).result, 0);
  EXPECT_EQ(check("/" + at("ok")).result, 1);
  // "file/" is not even there to lstat, where "file" is a file.
  const Outcome out = check(at("file/"));
  EXPECT_EQ(out.result, -8);
  EXPECT_TRUE(filledAs(out.record, Fill{-8, 0, "lstat failure", kTag}));
}

TEST_F(PathCheckTree, FollowsLinksAndJudgesTheirTargets) {
  sf_test::makeDir(at("real"), 0755);
  sf_test::makeDir(at("real/sub"), 0755);
  sf_test::makeDir(at("real/wide"), 0775);
  sf_test::makeDir(at("wide"), 0775);
  dorq_test::writeFile(at("file"), "x");
  // A link's own owner does not count, only its target does.
  sf_test::makeLink(at("real"), at("abs"), kUserA);
  sf_test::makeLink("real", at("rel"));
  sf_test::makeLink(at("wide"), at("towide"));
  sf_test::makeLink(at("gone"), at("dangling"));
  sf_test::makeLink(at("file"), at("tofile"));

  EXPECT_EQ(check(at("abs")).result, 1);
  EXPECT_EQ(check(at("abs/sub")).result, 1);
  // Entries after a link are reached through it.
  EXPECT_EQ(check(at("abs/wide")).result, 0);
  EXPECT_EQ(check(at("towide")).result, 0);

  Outcome out = check(at("rel/sub"));
  EXPECT_EQ(out.result, -1);
  EXPECT_TRUE(filledAs(out.record, Fill{-1, 0, "Input string is relative path", kTag}));
  out = check(at("dangling"));
  EXPECT_EQ(out.result, -8);
  EXPECT_TRUE(filledAs(out.record, Fill{-8, 0, "lstat failure", kTag}));
  out = check(at("tofile"));
  EXPECT_EQ(out.result, -4);
  EXPECT_TRUE(filledAs(out.record, Fill{-4, 0, "Path component is not directory", kTag}));
}

// links[0] -> links[1] -> ... -> real: the check of real runs at a nesting
// depth equal to the number of links.
TEST_F(PathCheckTree, FollowsLinksNestedTenDeepButNotEleven) {
  sf_test::makeDir(at("real"), 0755);
  for (const int count : {10, 11}) {
    const std::string prefix = at("c" + std::to_string(count) + "_");
    for (int i = 0; i < count; ++i) {
      const std::string next = i + 1 == count ? at("real") : prefix + std::to_string(i + 1);
      sf_test::makeLink(next, prefix + std::to_string(i));
    }
    const Outcome out = check(prefix + "0");
    if (count == 10) {
      EXPECT_EQ(out.result, 1);
    } else {
      EXPECT_EQ(out.result, -11);
      EXPECT_TRUE(filledAs(out.record, Fill{-11, 0, "Max symlinks detected in path", kTag}));
    }
  }
}

}  // namespace
