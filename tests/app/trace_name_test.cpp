// Building the per-process trace file path from the -trcfile value.
#include <gtest/gtest.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/app/trace_fixture.h"

namespace trace_test {
namespace {

constexpr int kPid = 4242;
constexpr int kBuffer = static_cast<int>(kDorqTraceFileBuffer);

struct NameCase {
  const char* name;
  const char* value;
  char separator;
  const char* expected;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.name;
}

// clang-format off
const NameCase kNameCases[] = {
    {"WorkerTrace",      "/var/trace/run_worker_12345.trc", '/', "/var/trace/run_dorq_4242.trc"},
    {"OneUnderscore",    "/tmp/a_b",                        '/', "/tmp/dorq_4242.trc"},
    {"NoUnderscore",     "/tmp/out",                        '/', "/tmp/dorq_4242.trc"},
    {"BareWord",         "trace",                           '/', "dorq_4242.trc"},
    {"BareOneUnderscore","abc_def",                         '/', "dorq_4242.trc"},
    {"AdjacentPair",     "a__b",                            '/', "a_dorq_4242.trc"},
    {"TrailingPair",     "/t/x__",                          '/', "/t/x_dorq_4242.trc"},
    {"TrailingSlash",    "/var/trace/",                     '/', "/var/trace/dorq_4242.trc"},
    {"UnderscoresInDir", "/a_b_c/d",                        '/', "/a_b_c/dorq_4242.trc"},
    {"SeparatorIsUnder", "/x_y/run_abc",                    '_', "/x_y/run_dorq_4242.trc"},
    {"UnderNoUnderscore","/x/y",                            '_', "dorq_4242.trc"},
    {"Empty",            "",                                '/', "dorq_4242.trc"},
};
// clang-format on

class TraceNaming : public TraceTest {};

class TraceName : public TraceTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(TraceName, ReplacesTheLastPart) {
  const NameCase& c = GetParam();
  std::vector<char> out(kBuffer, 'Z');
  const int length = dorqGenTraceFileName(c.value, static_cast<int>(strlen(c.value)), out.data(),
                                          kBuffer, kPid, c.separator);
  EXPECT_STREQ(out.data(), c.expected);
  EXPECT_EQ(length, static_cast<int>(strlen(c.expected)));
}

INSTANTIATE_TEST_SUITE_P(TraceExamples, TraceName, ::testing::ValuesIn(kNameCases),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.name);
                         });

// Only nameLength characters count, wherever the text itself ends.
TEST_F(TraceNaming, UsesOnlyNameLengthCharacters) {
  char out[64];
  const int length = dorqGenTraceFileName("/tmp/a/b_c_d", 6, out, sizeof out, kPid, '/');
  EXPECT_STREQ(out, "/tmp/dorq_4242.trc");
  EXPECT_EQ(length, 18);
}

// A second -trcfile writes over the first path: nothing of it survives.
TEST_F(TraceNaming, SecondNameLeavesNothingOfTheFirst) {
  const std::string first = "/var/trace/a/very/long/directory/run_worker_1.trc";
  ASSERT_GT(dorqGenTraceFileName(first.c_str(), static_cast<int>(first.size()), dorqTraceFile,
                                 kBuffer, kPid, '/'),
            0);
  const int length = dorqGenTraceFileName("x", 1, dorqTraceFile, kBuffer, 7, '/');
  EXPECT_STREQ(dorqTraceFile, "dorq_7.trc");
  EXPECT_EQ(length, 10);
}

// The capacity rule: nameLength + 26 may not exceed the buffer. At the limit
// the path fits exactly sized storage (a write past it would be caught by
// the address sanitizer); one more character is refused and out untouched.
TEST_F(TraceNaming, CapacityRule) {
  for (const int outSize : {26, 27, 100, kBuffer}) {
    const std::string fits(static_cast<size_t>(outSize - 26), 'n');
    std::vector<char> out(static_cast<size_t>(outSize), 'Z');
    const int length = dorqGenTraceFileName(fits.data(), static_cast<int>(fits.size()), out.data(),
                                            outSize, -2147483647 - 1, '/');
    EXPECT_EQ(length, static_cast<int>(strlen("dorq_-2147483648.trc"))) << outSize;
    EXPECT_STREQ(out.data(), "dorq_-2147483648.trc");

    const std::string tooLong(fits.size() + 1, 'n');
    std::vector<char> untouched(static_cast<size_t>(outSize), 'Z');
    EXPECT_EQ(dorqGenTraceFileName(tooLong.data(), static_cast<int>(tooLong.size()),
                                   untouched.data(), outSize, kPid, '/'),
              0);
    EXPECT_EQ(std::string(untouched.begin(), untouched.end()),
              std::string(static_cast<size_t>(outSize), 'Z'));
  }
  // The driver's buffer takes names of up to 4070 characters.
  const std::string limit = std::string(4069, 'd') + "/";
  EXPECT_EQ(dorqGenTraceFileName(limit.data(), 4070, dorqTraceFile, kBuffer, kPid, '/'), 4083);
  EXPECT_EQ(std::string(dorqTraceFile), limit + "dorq_4242.trc");
  const std::string over(4071, 'd');
  EXPECT_EQ(dorqGenTraceFileName(over.data(), 4071, dorqTraceFile, kBuffer, kPid, '/'), 0);
  EXPECT_EQ(std::string(dorqTraceFile), limit + "dorq_4242.trc");
}

TEST_F(TraceNaming, NegativeLengthIsRefused) {
  char out[64];
  memset(out, 'Z', sizeof out);
  EXPECT_EQ(dorqGenTraceFileName("/tmp/x", -1, out, sizeof out, kPid, '/'), 0);
  EXPECT_EQ(out[0], 'Z');
}

// The naming traces its own entry and exit at mask 8, under the unit "dorq".
TEST_F(TraceNaming, TracesEntryAndExit) {
  dorqTraceLevel = 9;
  char out[64];
  const Sinks sinks = capture([&] {
    dorqGenTraceFileName("/tmp/a_b", 8, out, sizeof out, kPid, '/');
    dorqGenTraceFileName("/tmp/a_b", 8, out, 33, kPid, '/');
  });
  std::vector<Line> lines;
  ASSERT_TRUE(parseLines(sinks.err, &lines)) << sinks.err;
  ASSERT_EQ(lines.size(), 4U);
  const char* const messages[] = {"Enter", "Exit with status 18", "Enter", "Exit with status 0"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].message, messages[i]);
    EXPECT_EQ(lines[i].unit, "dorq");
    EXPECT_EQ(lines[i].function, "dorqGenTraceFileName");
  }
  EXPECT_EQ(sinks.out, "");

  dorqTraceLevel = 0x11;  // authentication detail only: the naming stays silent
  EXPECT_EQ(capture([&] { dorqGenTraceFileName("a", 1, out, sizeof out, kPid, '/'); }).err, "");
}

}  // namespace
}  // namespace trace_test
