// Every call that a guarded open with both directory checks, and a path
// check through nested symbolic links, make through the replaceable wrappers,
// failed in turn: first the calls of a clean run are counted, then call k of
// each wrapper fails for every k. Each failure must give the result and the
// record documented for the step that failed, leave no stream or descriptor
// open and leak no memory.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "securefile/sldir_pthsec.h"
#include "securefile/slf_file.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::Wrapper;
using sf_test::Fill;
using sf_test::filledAs;

constexpr const char* kPathCheckTag = "SldirIsPthse";
constexpr char kContent[] = "KVL_ADMIN=/net/admin\n";

using dorq_test::kWrappers;
using dorq_test::WrapperCase;

// Runs `scenario` once without faults and returns how often it called `which`.
unsigned cleanCalls(Wrapper which, const std::function<void()>& scenario) {
  dorq_test::resetFaults();
  scenario();
  const unsigned calls = dorq_test::callCount(which);
  dorq_test::resetFaults();
  return calls;
}

// The messages of the path check's allocations, in the order it makes them,
// one list per wrapper.
struct PathCheckAllocations {
  std::vector<const char*> malloc;
  std::vector<const char*> calloc;
  std::vector<const char*> strdup;

  // One level of the check over `entries` prefixes: the working copy, the
  // entry table, the last entry (the path as passed in), the other entries,
  // then the text of the link met on the way, whose nested check comes next.
  void addLevel(size_t entries, bool endsInLink) {
    malloc.push_back("Malloc failed");
    calloc.push_back("Malloc failed");
    strdup.push_back("strdup failed");
    malloc.insert(malloc.end(), entries - 1, "Malloc Failure");
    if (endsInLink) {
      malloc.push_back("Malloc failure");
    }
  }
  const std::vector<const char*>& of(Wrapper which) const {
    static const std::vector<const char*> none;
    switch (which) {
      case Wrapper::Malloc:
        return malloc;
      case Wrapper::Calloc:
        return calloc;
      case Wrapper::Strdup:
        return strdup;
      default:
        return none;
    }
  }
};

// Prefixes of an absolute directory path without trailing or repeated "/".
size_t componentsOf(const std::string& dir) {
  return static_cast<size_t>(std::count(dir.begin(), dir.end(), '/'));
}

struct Leftovers {
  int descriptors;  // opened and not closed
  bool leaks;
};

class SecureFileFaults : public sf_test::FileTest {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    sf_test::FileTest::SetUp();
  }

  // Runs one faulty call of `run` and reports what it left behind.
  static Leftovers afterFault(const WrapperCase& w, unsigned k, const std::function<void()>& run) {
    const int before = sf_test::openDescriptors();
    dorq_test::resetFaults();
    dorq_test::armFault(w.wrapper, k, w.error);
    run();
    dorq_test::resetFaults();
    return Leftovers{sf_test::openDescriptors() - before, sf_test::childLeaks()};
  }
};

// --- The guarded open with both directory checks ---------------------------

struct OpenOutcome {
  bool opened = false;
  slosErrRec openRecord = sf_test::patternRecord();
  std::string line;
  int closeResult = 0;
  slosErrRec closeRecord = sf_test::patternRecord();
};

// Opens env.zan in dir with the resolution and security checks of the
// directory, reads its line and closes it.
OpenOutcome openReadClose(const std::string& dir) {
  OpenOutcome out;
  SlfFile* handle =
      SlfFopen2("env.zan", dir.c_str(), kSlfAccessRead, kSlfFlagResolveDir | kSlfFlagSecureDir,
                kSlfKindNamed, &out.openRecord, 0);
  if (handle == nullptr) {
    return out;
  }
  out.opened = true;
  char buf[64] = {};
  if (SlfFgts(handle, buf, sizeof buf, &out.closeRecord, 0) == 0) {
    out.line = buf;
  }
  out.closeResult = SlfFclose(handle, &out.closeRecord, 0);
  return out;
}

// What the open documents for call k of `w`: the path check of the
// directory allocates first (its working copy, table and entries), then the
// plain open opens the stream and allocates the handle; the close closes it.
std::optional<Fill> expectedOpenFailure(const WrapperCase& w, unsigned k, size_t components) {
  PathCheckAllocations check;
  check.addLevel(components, false);
  const std::vector<const char*>& messages = check.of(w.wrapper);
  if (k <= messages.size()) {
    return Fill{-8, 0, messages[k - 1], kPathCheckTag};
  }
  if (w.wrapper == Wrapper::Malloc && k == messages.size() + 1) {
    return Fill{-8, w.error, "memory allocation failed", "SlfFopen2"};
  }
  if (w.wrapper == Wrapper::Fopen) {
    return Fill{-8, w.error, "open failed", "SlfFopen1"};
  }
  return std::nullopt;
}

TEST_F(SecureFileFaults, GuardedOpenWithBothChecksUnderEveryWrapperFailure) {
  sf_test::makeDir(at("a"), 0755);
  sf_test::makeDir(at("a/b"), 0750);
  sf_test::makeDir(at("a/b/c"), 0700);
  const std::string dir = at("a/b/c");
  dorq_test::writeFile(dir + "/env.zan", kContent);
  const size_t components = componentsOf(dir);

  const OpenOutcome clean = openReadClose(dir);
  ASSERT_TRUE(clean.opened) << clean.openRecord.message;
  ASSERT_EQ(clean.line, kContent);
  ASSERT_EQ(clean.closeResult, 0);

  for (const WrapperCase& w : kWrappers) {
    const unsigned calls = cleanCalls(w.wrapper, [&] { (void)openReadClose(dir); });
    // The path check's allocations, then the handle, one fopen and one fclose.
    PathCheckAllocations check;
    check.addLevel(components, false);
    const bool oncePerOpen =
        w.wrapper == Wrapper::Malloc || w.wrapper == Wrapper::Fopen || w.wrapper == Wrapper::Fclose;
    const size_t documented = check.of(w.wrapper).size() + (oncePerOpen ? 1 : 0);
    EXPECT_EQ(calls, documented) << w.name;
    for (unsigned k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k) + " of " +
                   std::to_string(calls));
      OpenOutcome out;
      const Leftovers left = afterFault(w, k, [&] { out = openReadClose(dir); });
      EXPECT_EQ(left.descriptors, 0);
      EXPECT_FALSE(left.leaks);
      if (const std::optional<Fill> failure = expectedOpenFailure(w, k, components)) {
        EXPECT_FALSE(out.opened);
        EXPECT_TRUE(filledAs(out.openRecord, *failure));
        continue;
      }
      // The open itself succeeded and left its record alone.
      ASSERT_TRUE(out.opened);
      EXPECT_TRUE(sf_test::sameBytes(out.openRecord, sf_test::patternRecord()));
      EXPECT_EQ(out.line, kContent);
      ASSERT_EQ(w.wrapper, Wrapper::Fclose);
      // A failed close still releases the handle and reports the close.
      EXPECT_EQ(out.closeResult, -1);
      EXPECT_TRUE(filledAs(out.closeRecord, Fill{-8, w.error, "fclose failed", "SlfFclose1"}));
    }
  }
}

// --- The path check through nested symbolic links ----------------------------

TEST_F(SecureFileFaults, PathCheckThroughNestedLinksUnderEveryWrapperFailure) {
  // base/l1 -> base/l2 -> base/real; the path checked is base/l1/sub.
  sf_test::makeDir(at("real"), 0755);
  sf_test::makeDir(at("real/sub"), 0755);
  sf_test::makeLink(at("real"), at("l2"));
  sf_test::makeLink(at("l2"), at("l1"));
  const std::string path = at("l1/sub");
  const size_t baseComponents = componentsOf(base());

  slosErrRec record = sf_test::patternRecord();
  ASSERT_EQ(SldirIsPthSec(path.c_str(), &record), 1);

  // Level 0 walks base/l1/sub and meets l1; level 1 walks base/l2 and meets
  // l2; level 2 walks base/real.
  PathCheckAllocations check;
  check.addLevel(baseComponents + 2, true);
  check.addLevel(baseComponents + 1, true);
  check.addLevel(baseComponents + 1, false);

  for (const WrapperCase& w : kWrappers) {
    const unsigned calls = cleanCalls(w.wrapper, [&] {
      slosErrRec ignored;
      (void)SldirIsPthSec(path.c_str(), &ignored);
    });
    const std::vector<const char*>& messages = check.of(w.wrapper);
    EXPECT_EQ(calls, messages.size()) << w.name;
    for (unsigned k = 1; k <= calls && k <= messages.size(); ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k) + " of " +
                   std::to_string(calls));
      int result = 0;
      record = sf_test::patternRecord();
      const Leftovers left =
          afterFault(w, k, [&] { result = SldirIsPthSec(path.c_str(), &record); });
      EXPECT_EQ(left.descriptors, 0);
      EXPECT_FALSE(left.leaks);
      EXPECT_EQ(result, -8);
      EXPECT_TRUE(filledAs(record, Fill{-8, 0, messages[k - 1], kPathCheckTag}));
    }
  }
}

}  // namespace
