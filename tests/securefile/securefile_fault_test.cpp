// Every call that a guarded open with the directory security check (through
// nested links), a read and a close make through the replaceable wrappers,
// failed in turn: first the calls of a clean run are counted, then call k of
// each wrapper fails for every k. Each failure must come back as a system
// failure (-8) in the record, with no descriptor left open and no memory
// leaked.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "tests/securefile/sf_util.h"
#include "tests/support/require_root.h"

namespace {

constexpr char kContent[] = "KVL_ADMIN=/net/admin\n";

class SecureFileFaults : public sf_test::FileTest {};

TEST_F(SecureFileFaults, EveryWrapperFailureIsACleanRefusal) {
  DORQ_REQUIRE_ROOT();
  // base/l1 -> base/l2 -> base/real: the check of l1/sub nests two deep.
  sf_test::makeDir(at("real"), 0755);
  sf_test::makeDir(at("real/sub"), 0750);
  dorq_test::writeFile(at("real/sub/env.zan"), kContent);
  sf_test::makeLink(at("real"), at("l2"));
  sf_test::makeLink(at("l2"), at("l1"));
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
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k) + " of " +
                   std::to_string(calls));
      const int before = sf_test::openDescriptors();
      dorq_test::resetFaults();
      dorq_test::armFault(w.wrapper, k, w.error);
      EXPECT_EQ(run(), -8);
      dorq_test::resetFaults();
      EXPECT_EQ(sf_test::openDescriptors(), before);
      EXPECT_FALSE(sf_test::leaks());
    }
  }
  // Three levels of allocations, the handle, one fopen and one fclose.
  EXPECT_GE(total, 15U) << "the scenario hardly reaches the wrappers";
}

}  // namespace
