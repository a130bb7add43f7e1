// Which sinks a trace call reaches, for every rule of the level test.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app/dorq_trace.h"
#include "tests/app/trace_fixture.h"
#include "tests/support/fault_injection.h"

namespace trace_test {
namespace {

struct LevelCase {
  const char* name;
  int32_t level;
  uint32_t mask;
  bool withFile;  // a trace file path is set
  bool toErr;
  bool toFile;
  bool toOut;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const LevelCase& c, std::ostream* os) {
  *os << c.name;
}

constexpr uint32_t kAny = 0xFFFFFFF8U;

// clang-format off
constexpr LevelCase kLevelCases[] = {
    // name                    level   mask   file   err    file   out
    {"Level0Mask8",            0,      8,     true,  false, false, false},
    {"Level0MaskAny",          0,      kAny,  true,  false, false, false},
    {"Level0Mask1",            0,      1,     true,  false, false, false},
    {"Level1Mask8",            1,      8,     false, false, false, false},
    {"Level1MaskAny",          1,      kAny,  false, false, false, false},
    {"Level1Mask1",            1,      1,     false, true,  false, false},
    {"Level1Mask9",            1,      9,     false, true,  false, false},
    {"Level8Mask8",            8,      8,     true,  false, false, false},
    {"Level8Mask1",            8,      1,     true,  false, false, false},
    {"Level9Mask8",            9,      8,     false, true,  false, false},
    {"Level9Mask16",           9,      16,    false, false, false, false},
    {"Level9Mask24",           9,      24,    false, true,  false, false},
    {"Level9Mask32",           9,      32,    false, false, false, false},
    {"Level9MaskAny",          9,      kAny,  false, true,  false, false},
    {"Level3AMask8",           0x3A,   8,     true,  false, true,  false},
    {"Level3AMask16",          0x3A,   16,    true,  false, true,  false},
    {"Level3AMask24",          0x3A,   24,    true,  false, true,  false},
    {"Level3AMask32",          0x3A,   32,    true,  false, true,  false},
    {"Level3AMaskAny",         0x3A,   kAny,  true,  false, true,  false},
    {"Level3AMask1",           0x3A,   1,     true,  false, true,  false},
    {"Level3ASinkBitsOfMask",  0x3A,   6,     true,  false, false, false},
    {"Level3AMask64",          0x3A,   64,    true,  false, false, false},
    {"Level11Mask24",          0x11,   24,    false, true,  false, false},
    {"Level11Mask8",           0x11,   8,     false, false, false, false},
    {"Level44MaskAny",         0x44,   kAny,  false, false, false, true},
    {"Level44Mask8",           0x44,   8,     false, false, false, false},
    {"Level44Mask32",          0x44,   32,    false, false, false, false},
    {"Level2FMask32",          0x2F,   32,    true,  true,  true,  true},
    {"Level2FMask16",          0x2F,   16,    true,  false, false, false},
    {"AllBitsMask16",          -1,     16,    true,  true,  true,  true},
    {"FileBitWithoutPath",     0x0E,   8,     false, false, false, true},
};
// clang-format on

class TraceLevel : public TraceTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(TraceLevel, ReachesExactlyTheSelectedSinks) {
  const LevelCase& c = GetParam();
  dorqTraceLevel = c.level;
  if (c.withFile) {
    setTraceFile(tracePath_);
  }
  const Sinks sinks = capture([&] { dorqTrace(c.mask, "dorq", 77, "levelTest", "n=%d", 5); });

  const std::string tail = " dorq:77(levelTest)n=5\n";
  auto reached = [&](const std::string& text) {
    return text.size() > tail.size() && text.compare(0, 6, "SCHED ") == 0 &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
           text.find('\n') == text.size() - 1;
  };
  EXPECT_EQ(reached(sinks.err), c.toErr) << "stderr: " << sinks.err;
  EXPECT_EQ(reached(sinks.file), c.toFile) << "file: " << sinks.file;
  EXPECT_EQ(reached(sinks.out), c.toOut) << "stdout: " << sinks.out;
  if (!c.toErr) {
    EXPECT_EQ(sinks.err, "");
  }
  if (!c.toFile) {
    EXPECT_EQ(sinks.file, "");
  }
  if (!c.toOut) {
    EXPECT_EQ(sinks.out, "");
  }
  // Only a line bound for the file may touch the file system.
  EXPECT_EQ(dorq_test::callCount(dorq_test::Wrapper::Open), c.toFile ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(TraceRules, TraceLevel, ::testing::ValuesIn(kLevelCases),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace trace_test
