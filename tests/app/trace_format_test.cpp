// The trace line: its header against the clock and the process, the message
// in every sink, and lines from two processes in one file.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/app/trace_fixture.h"

namespace trace_test {
namespace {

constexpr int64_t kMillisPerSecond = 1000;
constexpr int64_t kMicrosPerMilli = 1000;

int64_t millis(const timeval& t) {
  return static_cast<int64_t>(t.tv_sec) * kMillisPerSecond + t.tv_usec / kMicrosPerMilli;
}

// The header's local time as milliseconds since the epoch; the year, which
// the header leaves out, is taken from the clock read before the call.
int64_t headerMillis(const Line& line, const timeval& before) {
  tm local{};
  const time_t seconds = before.tv_sec;
  localtime_r(&seconds, &local);
  local.tm_mon = line.month - 1;
  local.tm_mday = line.day;
  local.tm_hour = line.hour;
  local.tm_min = line.minute;
  local.tm_sec = line.second;
  local.tm_isdst = -1;
  time_t stamp = mktime(&local);
  if (stamp < before.tv_sec) {  // the year turned during the call
    ++local.tm_year;
    stamp = mktime(&local);
  }
  return static_cast<int64_t>(stamp) * kMillisPerSecond + line.millisecond;
}

class TraceFormat : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    savedTz_ = hadTz_ ? tz : "";
    // Half an hour off any whole-hour zone, so that a header in universal
    // time cannot pass for local time.
    setenv("TZ", "XYZ-5:30", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", savedTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    TraceTest::TearDown();
  }

 private:
  bool hadTz_ = false;
  std::string savedTz_;
};

TEST_F(TraceFormat, HeaderCarriesLocalTimePidAndPlaceInEverySink) {
  dorqTraceLevel = 0x0F;
  setTraceFile(tracePath_);
  timeval before{};
  timeval after{};
  const Sinks sinks = capture([&] {
    gettimeofday(&before, nullptr);
    dorqTrace(8, "dorq", 419, "dorqGenTraceFileName", "Enter");
    gettimeofday(&after, nullptr);
  });

  for (const std::string* text : {&sinks.err, &sinks.file, &sinks.out}) {
    std::vector<Line> lines;
    ASSERT_TRUE(parseLines(*text, &lines)) << *text;
    ASSERT_EQ(lines.size(), 1U) << *text;
    const Line& line = lines[0];
    EXPECT_GE(line.month, 1);
    EXPECT_LE(line.month, 12);
    EXPECT_LE(line.millisecond, 999);
    const int64_t stamp = headerMillis(line, before);
    EXPECT_GE(stamp, millis(before));
    EXPECT_LE(stamp, millis(after));
    EXPECT_EQ(line.pid, static_cast<long>(getpid()));
    EXPECT_EQ(line.unit, "dorq");
    EXPECT_EQ(line.line, 419);
    EXPECT_EQ(line.function, "dorqGenTraceFileName");
    EXPECT_EQ(line.message, "Enter");  // directly after the parenthesis
  }
  // One time stamp per call: the three sinks received the same line.
  EXPECT_EQ(sinks.err, sinks.file);
  EXPECT_EQ(sinks.err, sinks.out);
}

struct MessageCase {
  const char* name;
  std::string (*emit)();  // traces one line, returns its expected message
};

// Failures name the case rather than dump its bytes.
void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << c.name;
}

const MessageCase kMessages[] = {
    {"NoArguments",
     [] {
       dorqTrace(8, "sdorq", 1, "f", "Enter");
       return std::string("Enter");
     }},
    {"EmptyMessage",
     [] {
       dorqTrace(8, "sdorq", 1, "f", "%s", "");
       return std::string("");
     }},
    {"MixedArguments",
     [] {
       dorqTrace(8, "sdorq", 1, "f", "%s|%d|%.*s|%x|%lld|%%|%c", "user", -7, 3, "abcdef", 255U,
                 1LL << 40, 'z');
       return std::string("user|-7|abc|ff|1099511627776|%|z");
     }},
    {"PathPrecision",
     [] {
       const char path[] = "/var/trace/dorq_4242.trcGARBAGE";
       dorqTrace(0xFFFFFFF8U, "dorq", 1, "f", "Tracing to file %.*s", 24, path);
       return std::string("Tracing to file /var/trace/dorq_4242.trc");
     }},
};

class TraceMessage : public TraceTest, public ::testing::WithParamInterface<MessageCase> {};

// Each sink formats the whole message from its own copy of the arguments.
TEST_P(TraceMessage, EverySinkFormatsTheWholeMessage) {
  dorqTraceLevel = 0x0F;
  setTraceFile(tracePath_);
  std::string expected;
  const Sinks sinks = capture([&] { expected = GetParam().emit(); });
  for (const std::string* text : {&sinks.err, &sinks.file, &sinks.out}) {
    std::vector<Line> lines;
    ASSERT_TRUE(parseLines(*text, &lines)) << *text;
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].message, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(TraceMessages, TraceMessage, ::testing::ValuesIn(kMessages),
                         [](const ::testing::TestParamInfo<MessageCase>& info) {
                           return std::string(info.param.name);
                         });

// The job's process inherits the trace state and appends to the same file
// under its own process id.
TEST_F(TraceFormat, ParentAndChildAppendToOneFileUnderTheirOwnPids) {
  dorqTraceLevel = 0x0A;
  setTraceFile(tracePath_);
  dorqTrace(8, "dorq", 1, "parent", "before");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dorqTrace(8, "sdorq", 2, "child", "in child");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  dorqTrace(8, "dorq", 3, "parent", "after");

  std::vector<Line> lines;
  ASSERT_TRUE(parseLines(regularFileText(tracePath_), &lines));
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0].message, "before");
  EXPECT_EQ(lines[0].pid, static_cast<long>(getpid()));
  EXPECT_EQ(lines[1].message, "in child");
  EXPECT_EQ(lines[1].pid, static_cast<long>(child));
  EXPECT_EQ(lines[1].unit, "sdorq");
  EXPECT_EQ(lines[2].message, "after");
  EXPECT_EQ(lines[2].pid, static_cast<long>(getpid()));
}

// A caller that traces between a failing call and its look at errno still
// finds the error it had, whatever the trace file sink ran into.
TEST_F(TraceFormat, TracingLeavesErrnoAlone) {
  dorqTraceLevel = 0x0A;
  setTraceFile(dir_.path());  // a directory: refused after a failed open path
  errno = EDOM;
  dorqTrace(8, "dorq", 1, "f", "x");
  EXPECT_EQ(errno, EDOM);
  setTraceFile(dir_ / "missing-dir/t.trc");  // lstat and open both fail
  errno = ERANGE;
  dorqTrace(8, "dorq", 1, "f", "x");
  EXPECT_EQ(errno, ERANGE);
}

}  // namespace
}  // namespace trace_test
