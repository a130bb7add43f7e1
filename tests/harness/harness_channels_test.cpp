// Decoding of dorq's channels and of the probe's report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/run_process.h"

namespace dorq_test {
namespace {

struct FrameCase {
  std::string err;
  bool ok;
  int code;
  std::string before;
};

TEST(StatusFrameTest, TrailingFrameTable) {
  const std::vector<FrameCase> cases = {
      {"!@#--!@#7#@!--#@!", true, 7, ""},
      {"!@#--!@#20#@!--#@!", true, 20, ""},
      {"!@#--!@#-3#@!--#@!", true, -3, ""},
      {"SCHED 01-02 trace line\n!@#--!@#13#@!--#@!", true, 13, "SCHED 01-02 trace line\n"},
      // The child's frame, then the driver's: the last one is the driver's.
      {"!@#--!@#10#@!--#@!!@#--!@#11#@!--#@!", true, 11, "!@#--!@#10#@!--#@!"},
      {"!@#--!@#7#@!--#@!\n", false, 7, ""},
      {"!@#--!@#7#@!--#@!x", false, 7, ""},
      {"", false, -1, ""},
      {"no frame at all", false, -1, ""},
      {"!@#--!@##@!--#@!", false, -1, ""},
      {"!@#--!@#7#@!--#@", false, -1, ""},
      {"!@#--!@#+7#@!--#@!", false, -1, ""},
      {"!@#--!@#99999999999#@!--#@!", false, -1, ""},
  };
  for (const FrameCase& c : cases) {
    const TrailingFrame frame = trailingStatusFrame(c.err);
    EXPECT_EQ(frame.ok, c.ok) << printable(c.err) << ": " << frame.problem;
    EXPECT_EQ(frame.code, c.code) << printable(c.err);
    if (c.ok) {
      EXPECT_EQ(frame.before, c.before) << printable(c.err);
      EXPECT_TRUE(frame.problem.empty());
    } else {
      EXPECT_FALSE(frame.problem.empty());
    }
  }
}

TEST(StatusFrameTest, FindsEveryFrameAndSkipsBrokenOnes) {
  const std::string err = "a!@#--!@#x!@#--!@#10#@!--#@!b!@#--!@#7#@!--#@!";
  const std::vector<FrameMatch> frames = findStatusFrames(err);
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_EQ(frames[0].code, 10);
  EXPECT_EQ(frames[0].offset, 10U);
  EXPECT_EQ(frames[0].length, 18U);
  EXPECT_EQ(frames[1].code, 7);
  EXPECT_EQ(frames[1].length, 17U);
  EXPECT_EQ(err.substr(frames[1].offset), statusFrame(7));
}

TEST(StatusWordTest, SplitsWordsAroundTheCommandsOutput) {
  const std::string out = std::string("\x0a", 1) + "job says hi" + std::string("\x00", 1);
  const SplitStdout split = splitStatusWords(out, "job says hi");
  ASSERT_TRUE(split.ok);
  EXPECT_EQ(split.words, (std::vector<int>{10, 0}));
  EXPECT_EQ(split.textAt, 1U);

  EXPECT_FALSE(splitStatusWords(out, "missing").ok);
  const SplitStdout wordsOnly = splitStatusWords(std::string("\x07", 1));
  EXPECT_EQ(wordsOnly.words, (std::vector<int>{7}));
  EXPECT_EQ(statusWordBytes(std::string("\x00\xff", 2)), (std::vector<int>{0, 255}));
}

TEST(ProbeReportTest, EscapesRoundTripEveryByte) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) {
    bytes += static_cast<char>(i);
  }
  const std::string escaped = probeEscape(bytes);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  EXPECT_EQ(probeUnescape(escaped), bytes);
  EXPECT_EQ(probeEscape("a\\b\n"), "a\\\\b\\x0a");
}

TEST(ProbeReportTest, ParsesFactsAndMasks) {
  const ProbeReport report = ProbeReport::parse(
      "argc=2\nargv.0=/p\nargv.1=a\\x0ab\nfd.0=/dev/null\nfd.12=pipe:[7]\ngroups=5,100\n"
      "sigblk=0000000000000201\nenv=A=1\nenv=B=x=y\nstdin=\\x00z\nend=1\n");
  EXPECT_TRUE(report.complete());
  EXPECT_EQ(report.argv(), (std::vector<std::string>{"/p", "a\nb"}));
  EXPECT_EQ(report.fds(), (std::map<int, std::string>{{0, "/dev/null"}, {12, "pipe:[7]"}}));
  EXPECT_EQ(report.groups(), (std::vector<gid_t>{5, 100}));
  EXPECT_EQ(report.blockedSignals(), (std::set<int>{1, 10}));
  EXPECT_EQ(report.env(), (std::map<std::string, std::string>{{"A", "1"}, {"B", "x=y"}}));
  EXPECT_EQ(report.stdinBytes(), std::string("\x00z", 2));
  EXPECT_EQ(report.number("missing", -7), -7);
  EXPECT_FALSE(ProbeReport::parse("argc=1\n").complete());
}

}  // namespace
}  // namespace dorq_test
