// The path security check over real trees with real owners, modes and links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "securefile/sldir_pthsec.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/require_root.h"

namespace {

// "1" or "0" for a verdict, which must leave the record as it was; for a
// failure the record it filled, whose code is the result.
std::string check(const std::string& path) {
  slosErrRec record = sf_test::patternRecord();
  const int result = SldirIsPthSec(path.c_str(), &record);
  if (result >= 0) {
    return sf_test::untouched(record) ? std::to_string(result) : "a verdict wrote the record";
  }
  return result == record.code ? sf_test::rec(record) : "the result is not the record's code";
}

std::string failed(int32_t code, const char* message) {
  return sf_test::rec(code, 0, message, "SldirIsPthse");
}

TEST(PathCheck, RefusesWhatIsNoAbsolutePath) {
  EXPECT_EQ(check(""), failed(-1, "Input string is relative path"));
  EXPECT_EQ(check("srv/inst"), failed(-1, "Input string is relative path"));
  // The root is never examined; /proc/self reports a size shorter than its text.
  EXPECT_EQ(check("///"), "1");
  EXPECT_EQ(check("/proc/self"), failed(-8, "readlink failure"));
  slosErrRec record;
  EXPECT_EQ(SldirIsPthSec(nullptr, &record), -5);
}

class PathCheckTree : public sf_test::FileTest {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    FileTest::SetUp();
  }
};

// Each directory on the way, and the last, is judged by its owner (root or
// the effective user) and by its group and other write bits.
TEST_F(PathCheckTree, JudgesEachDirectoryByOwnerAndWriteBits) {
  for (const mode_t mode : {0755, 0700, 0555, 02755, 04755, 01755, 0775, 0757, 0777, 01777}) {
    const std::string dir = at("m" + std::to_string(mode));
    sf_test::makeDir(dir, mode);
    sf_test::makeDir(dir + "/sub", 0755);
    const char* secure = (mode & 022) == 0 ? "1" : "0";
    EXPECT_EQ(check(dir), secure) << std::oct << mode << " as the last entry";
    EXPECT_EQ(check(dir + "/sub"), secure) << std::oct << mode << " on the way";
  }
  sf_test::makeDir(at("theirs"), 0755, sf_test::kUserA);
  sf_test::makeDir(at("theirs/sub"), 0755);
  EXPECT_EQ(check(at("theirs")), "0");
  EXPECT_EQ(check(at("theirs/sub")), "0");
}

TEST_F(PathCheckTree, FollowsLinksAndRefusesWhatIsNoDirectory) {
  sf_test::makeDir(at("real"), 0755);
  sf_test::makeDir(at("real/sub"), 0755);
  sf_test::makeDir(at("real/wide"), 0775);
  dorq_test::writeFile(at("file"), "x");
  // A link's own owner does not count, only its target does.
  sf_test::makeLink(at("real"), at("abs"), sf_test::kUserA);
  sf_test::makeLink("real", at("rel"));
  sf_test::makeLink(at("gone"), at("dangling"));
  sf_test::makeLink(at("file"), at("tofile"));
  const std::string notDir = failed(-4, "Path component is not directory");
  const std::string noLstat = failed(-8, "lstat failure");
  const std::pair<const char*, std::string> cases[] = {
      {"abs/sub", "1"},
      {"abs/wide", "0"},
      {"real/sub/", "1"},
      {"dangling", noLstat},
      {"missing/x", noLstat},
      {"file/", noLstat},
      {"tofile", notDir},
      {"file/x", notDir},
      {"rel/sub", failed(-1, "Input string is relative path")},
  };
  for (const auto& [path, want] : cases) {
    EXPECT_EQ(check(at(path)), want) << path;
  }
  // A chain of ten links is followed; the eleventh is one too many.
  for (const int count : {10, 11}) {
    const std::string prefix = at("c" + std::to_string(count) + "_");
    for (int i = 0; i < count; ++i) {
      sf_test::makeLink(i + 1 == count ? at("real") : prefix + std::to_string(i + 1),
                        prefix + std::to_string(i));
    }
    EXPECT_EQ(check(prefix + "0"),
              count == 10 ? "1" : failed(-11, "Max symlinks detected in path"));
  }
}

}  // namespace
