// The wrappers against the C library calls they forward to, and the local
// time stamp against the clock.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "port/slgtd.h"
#include "port/ss_wrappers.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::TempDir;

template <typename F>
void* address(F* function) {
  return reinterpret_cast<void*>(function);
}

// In a binary that does not replace them, every alias is the wrapper itself.
TEST(PortWrappers, WithoutAReplacementEveryAliasIsTheWrapper) {
  EXPECT_EQ(address(&ssMemMalloc), address(&ss_mem_walc));
  EXPECT_EQ(address(&ssMemFree), address(&ss_mem_wfre));
  EXPECT_EQ(address(&ssMemCalloc), address(&ss_mem_wcalloc));
  EXPECT_EQ(address(&ssMemStrdup), address(&ss_mem_wstrdup));
  EXPECT_EQ(address(&ssOswFopen), address(&ss_osw_wfopen));
  EXPECT_EQ(address(&ssOswFclose), address(&ss_osw_wfclose));
  EXPECT_EQ(address(&ssOswFdopen), address(&ss_osw_wfdopen));
  EXPECT_EQ(address(&ssOswOpen), address(&ss_osw_wopen));
  EXPECT_EQ(address(&ssOswPthread_mutex_lock), address(&ss_osw_wpthread_mutex_lock));
  EXPECT_EQ(address(&ssOswPthread_mutex_unlock), address(&ss_osw_wpthread_mutex_unlock));
}

// Failures come back with errno exactly as the C library set it, and the
// flags and mode reach open unchanged.
TEST(PortWrappers, ReportLikeTheCLibrary) {
  const TempDir d;
  dorq_test::writeFile(d / "f", "x");
  ASSERT_EQ(symlink((d / "f").c_str(), (d / "l").c_str()), 0);
  // The elements of a braced list are evaluated in order, so each errno
  // belongs to the call just before it.
  const struct {
    const char* what;
    bool failed;
    int error;
    int expected;
  } cases[] = {
      {"fopen missing", ssOswFopen((d / "m").c_str(), "r") == nullptr, errno, ENOENT},
      {"open link", ssOswOpen((d / "l").c_str(), O_RDONLY | O_NOFOLLOW, 0) < 0, errno, ELOOP},
      {"open exclusive", ssOswOpen((d / "f").c_str(), O_RDONLY | O_CREAT | O_EXCL, 0) < 0, errno,
       EEXIST},
      {"fdopen", ssOswFdopen(-1, "r") == nullptr, errno, EBADF},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(c.failed) << c.what;
    EXPECT_EQ(c.error, c.expected) << c.what;
  }

  // A created file gets the mode asked for, reduced by the umask; what the
  // stream of ssOswFdopen writes reaches the file by ssOswFclose.
  const mode_t saved = umask(027);
  const int fd = ssOswOpen((d / "new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  umask(saved);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  FILE* stream = ssOswFdopen(fd, "w");
  ASSERT_NE(stream, nullptr);
  fputs("line\n", stream);
  EXPECT_EQ(ssOswFclose(stream), 0);
  EXPECT_EQ(dorq_test::readFile(d / "new"), "line\n");
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the close released the descriptor";
}

TEST(PortWrappers, MemoryAndMutexWrappersForwardUnchanged) {
  auto* zeroed = static_cast<char*>(ssMemCalloc(64, sizeof(unsigned)));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::string(zeroed, 64 * sizeof(unsigned)), std::string(64 * sizeof(unsigned), '\0'));
  ssMemFree(zeroed);
  char* copy = ssMemStrdup("ZANTIX_HOME");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "ZANTIX_HOME");
  ssMemFree(copy);

  // The mutex wrappers hand back the error numbers of the calls themselves.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), EPERM);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), 0);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), EDEADLK);
  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), 0);
  pthread_mutex_destroy(&mutex);
}

int64_t micros(int64_t seconds, int64_t micro) {
  return seconds * 1000000 + micro;
}

// The fields are the local time of the clock reading, in zones checked
// independently of the C library's zone handling: shift, then convert.
TEST(PortSlgtd, FieldsAreTheLocalTimeOfTheClock) {
  const char* const savedTz = getenv("TZ");
  const std::string saved = savedTz == nullptr ? "" : savedTz;
  const struct {
    const char* tz;
    long offsetSeconds;  // east of universal time
  } zones[] = {{"UTC0", 0}, {"XYZ-5:30", 5 * 3600 + 30 * 60}};
  for (const auto& zone : zones) {
    SCOPED_TRACE(zone.tz);
    setenv("TZ", zone.tz, 1);
    tzset();
    slgtdErr err{99, 99};
    slgtdStamp stamp{};
    timeval before{};
    timeval after{};
    gettimeofday(&before, nullptr);
    const uint32_t seconds = slgtds(&err, &stamp);
    gettimeofday(&after, nullptr);
    EXPECT_EQ(err.code, 0);
    const int64_t at = micros(seconds, stamp.millisecond * 1000 + stamp.microsecond);
    EXPECT_GE(at, micros(before.tv_sec, before.tv_usec));
    EXPECT_LE(at, micros(after.tv_sec, after.tv_usec));
    EXPECT_LE(stamp.millisecond, 999);
    EXPECT_LE(stamp.microsecond, 999);
    tm shifted{};
    const time_t moved = static_cast<time_t>(seconds) + zone.offsetSeconds;
    ASSERT_NE(gmtime_r(&moved, &shifted), nullptr);
    EXPECT_EQ(stamp.year, shifted.tm_year + 1900);
    EXPECT_EQ(stamp.month, shifted.tm_mon + 1);
    EXPECT_EQ(stamp.day, shifted.tm_mday);
    EXPECT_EQ(stamp.hour, shifted.tm_hour);
    EXPECT_EQ(stamp.minute, shifted.tm_min);
    EXPECT_EQ(stamp.second, shifted.tm_sec);
    // slgtd fills the same record and hands it back.
    slgtdStamp again{};
    EXPECT_EQ(slgtd(&err, &again), &again);
    EXPECT_EQ(err.code, 0);
    EXPECT_GE(again.year, stamp.year);
  }
  if (savedTz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
