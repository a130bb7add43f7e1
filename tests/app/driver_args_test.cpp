// Command-line parsing: option order, values, refusals with status 20, and
// what the trace state holds afterwards.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/dorq_driver.h"
#include "app/dorq_numbers.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_run.h"

namespace {

class ArgsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    dorqTraceLevel = 0;
    dorqTraceFilel = 0;
    memset(dorqTraceFile, 0, sizeof dorqTraceFile);
    dorqChildPidFile = nullptr;
  }
  // Parses words after a program name; the words live as long as the test.
  uint32_t parse(std::vector<std::string> words) {
    words_ = std::move(words);
    argv_.clear();
    argv_.push_back(const_cast<char*>("dorq"));
    for (auto& word : words_) {
      argv_.push_back(word.data());
    }
    argv_.push_back(nullptr);
    return dorqParseArgs(static_cast<int>(argv_.size() - 1), argv_.data());
  }
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

TEST_F(ArgsTest, NoWordsAtAll) {
  EXPECT_EQ(parse({}), kStatusOk);
  char* empty[] = {nullptr};
  EXPECT_EQ(dorqParseArgs(0, empty), kStatusOk);
  EXPECT_EQ(dorqTraceLevel, 0);
}

TEST_F(ArgsTest, RefusalsWithStatus20) {
  const std::vector<std::vector<std::string>> cases = {
      {"-trcfile"},
      {"-trclvl"},
      {"-childpidfile"},
      {"-trclvl", "2"},
      {"-trclvl", "3", "-x"},
      {"-trcfile", std::string(4071, 'a'), "-trclvl", "2"},
      {"-trcfile", "/tmp/t", "-trclvl"},
  };
  for (const auto& words : cases) {
    reset();
    EXPECT_EQ(parse(words), kStatusBadOption) << words[0] << " " << words.size();
  }
}

TEST_F(ArgsTest, TraceLevelIsScannedLikePercentI) {
  struct Case {
    const char* text;
    int32_t level;
  };
  for (const Case c :
       {Case{"9", 9}, Case{"0x38", 0x38}, Case{"010", 8}, Case{"-8", -8}, Case{" 12junk", 12}}) {
    reset();
    ASSERT_EQ(parse({"-trclvl", c.text}), kStatusOk) << c.text;
    EXPECT_EQ(dorqTraceLevel, c.level) << c.text;
  }
  reset();
  dorqTraceLevel = 5;
  EXPECT_EQ(parse({"-trclvl", "abc"}), kStatusOk);
  EXPECT_EQ(dorqTraceLevel, 5);
}

TEST_F(ArgsTest, UnknownWordsAreSkippedAndTheLastOptionWins) {
  ASSERT_EQ(parse({"junk", "-trclvl", "8", "-TRCLVL", "4", "-trclvl", "16"}), kStatusOk);
  EXPECT_EQ(dorqTraceLevel, 16);
}

TEST_F(ArgsTest, TraceFileIsRebuiltFromEachValue) {
  ASSERT_EQ(parse({"-trcfile", "/var/trace/run_worker_12345.trc", "-trcfile", "/tmp/out"}),
            kStatusOk);
  const std::string expected = "/tmp/dorq_" + std::to_string(getpid()) + ".trc";
  EXPECT_STREQ(dorqTraceFile, expected.c_str());
  EXPECT_EQ(dorqTraceFilel, static_cast<int64_t>(expected.size()));

  reset();
  ASSERT_EQ(parse({"-trcfile", std::string(4071, 'a')}), kStatusOk);
  EXPECT_EQ(dorqTraceFilel, 0);
  ASSERT_EQ(parse({"-trcfile", "/t/" + std::string(4067, 'a'), "-trclvl", "2"}), kStatusOk);
  EXPECT_GT(dorqTraceFilel, 0);
}

TEST_F(ArgsTest, ChildPidFileKeepsTheCommandLineText) {
  ASSERT_EQ(parse({"-childpidfile", "12abc"}), kStatusOk);
  EXPECT_EQ(dorqChildPidFile, argv_[2]);
}

TEST(NumbersTest, ScanRules) {
  EXPECT_EQ(dorqAtoi("  -42x"), -42);
  EXPECT_EQ(dorqAtoi("x1"), 0);
  EXPECT_EQ(dorqAtoi(""), 0);
  EXPECT_EQ(dorqScanDecimal("12abc"), 12);
  EXPECT_EQ(dorqScanDecimal(" +5"), 5);
  EXPECT_FALSE(dorqScanDecimal("/tmp/pid").has_value());
  EXPECT_FALSE(dorqScanDecimal("-").has_value());
  EXPECT_EQ(dorqScanInteger("0x10"), 16);
  EXPECT_EQ(dorqScanInteger("017"), 15);
  EXPECT_FALSE(dorqScanInteger("zz").has_value());
}

TEST(FrameTest, FormatAndLength) {
  char frame[kFrameBuffer];
  EXPECT_EQ(dorqFormatFrame(frame, 7), 17);
  EXPECT_STREQ(frame, "!@#--!@#7#@!--#@!");
  EXPECT_EQ(dorqFormatFrame(frame, 20), 18);
  EXPECT_STREQ(frame, "!@#--!@#20#@!--#@!");
}

}  // namespace
