// The local time stamp against the clock and the C library's conversion.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include <ostream>
#include <string>

#include "port/slgtd.h"

namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kMicrosPerMilli = 1000;

int64_t micros(const timeval& t) {
  return static_cast<int64_t>(t.tv_sec) * kMicrosPerSecond + t.tv_usec;
}

struct ZoneCase {
  const char* name;
  const char* tz;
  long offsetSeconds;  // east of universal time; -1: only compared with localtime_r
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ZoneCase& c, std::ostream* os) {
  *os << c.name;
}

// clang-format off
const ZoneCase kZones[] = {
    {"Utc",          "UTC0",                      0},
    {"HalfHourEast", "XYZ-5:30",                  5 * 3600 + 30 * 60},
    {"WestWithDst",  "EST5EDT,M3.2.0,M11.1.0",    -1},
};
// clang-format on

class PortSlgtd : public ::testing::TestWithParam<ZoneCase> {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    savedTz_ = hadTz_ ? tz : "";
    setenv("TZ", GetParam().tz, 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", savedTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadTz_ = false;
  std::string savedTz_;
};

void expectFields(const slgtdStamp& s, const tm& t) {
  EXPECT_EQ(s.year, t.tm_year + 1900);
  EXPECT_EQ(s.month, t.tm_mon + 1);
  EXPECT_EQ(s.day, t.tm_mday);
  EXPECT_EQ(s.hour, t.tm_hour);
  EXPECT_EQ(s.minute, t.tm_min);
  EXPECT_EQ(s.second, t.tm_sec);
}

TEST_P(PortSlgtd, FieldsAreTheLocalTimeOfTheClock) {
  slgtdErr err{99, 99};
  slgtdStamp stamp{};
  timeval before{};
  timeval after{};
  gettimeofday(&before, nullptr);
  const uint32_t seconds = slgtds(&err, &stamp);
  gettimeofday(&after, nullptr);

  EXPECT_EQ(err.code, 0);
  const int64_t at = static_cast<int64_t>(seconds) * kMicrosPerSecond +
                     stamp.millisecond * kMicrosPerMilli + stamp.microsecond;
  EXPECT_GE(at, micros(before));
  EXPECT_LE(at, micros(after));
  EXPECT_GE(stamp.millisecond, 0);
  EXPECT_LE(stamp.millisecond, 999);
  EXPECT_GE(stamp.microsecond, 0);
  EXPECT_LE(stamp.microsecond, 999);
  EXPECT_GE(stamp.month, 1);
  EXPECT_LE(stamp.month, 12);

  tm local{};
  const time_t clock = seconds;
  ASSERT_NE(localtime_r(&clock, &local), nullptr);
  expectFields(stamp, local);
  if (GetParam().offsetSeconds >= 0) {
    // Independent of the C library's zone handling: shift and convert.
    tm shifted{};
    const time_t moved = clock + GetParam().offsetSeconds;
    ASSERT_NE(gmtime_r(&moved, &shifted), nullptr);
    expectFields(stamp, shifted);
  }
}

TEST_P(PortSlgtd, SlgtdFillsAndReturnsTheRecord) {
  slgtdErr err{99, 99};
  slgtdStamp stamp{};
  const time_t before = time(nullptr);
  EXPECT_EQ(slgtd(&err, &stamp), &stamp);
  const time_t after = time(nullptr);
  EXPECT_EQ(err.code, 0);
  tm local{};
  localtime_r(&before, &local);
  tm localAfter{};
  localtime_r(&after, &localAfter);
  EXPECT_TRUE(stamp.year == local.tm_year + 1900 || stamp.year == localAfter.tm_year + 1900);
  EXPECT_GE(stamp.month, 1);
  EXPECT_LE(stamp.month, 12);
  EXPECT_LE(stamp.millisecond, 999);
}

INSTANTIATE_TEST_SUITE_P(PortZones, PortSlgtd, ::testing::ValuesIn(kZones),
                         [](const ::testing::TestParamInfo<ZoneCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
