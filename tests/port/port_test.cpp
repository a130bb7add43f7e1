// The portability layer against the real wrappers: the wrappers, the local
// time stamp, the self-initialising lock and signal re-delivery.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "port/slgtd.h"
#include "port/slts_lazy_mutex.h"
#include "port/ss_wrappers.h"
#include "port/sslss_signals.h"
#include "tests/support/temp_dir.h"

namespace {

// An error-checking mutex tells a wrong unlock, and itself from a default one.
void initErrorChecking(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(mutex, &attributes);
}

TEST(PortWrappers, WithoutAReplacementEveryAliasIsTheWrapper) {
  const auto same = [](auto* a, auto* w) {
    return reinterpret_cast<void*>(a) == reinterpret_cast<void*>(w);
  };
  EXPECT_TRUE(same(&ssMemMalloc, &ss_mem_walc));
  EXPECT_TRUE(same(&ssMemFree, &ss_mem_wfre));
  EXPECT_TRUE(same(&ssMemCalloc, &ss_mem_wcalloc));
  EXPECT_TRUE(same(&ssMemStrdup, &ss_mem_wstrdup));
  EXPECT_TRUE(same(&ssOswFopen, &ss_osw_wfopen));
  EXPECT_TRUE(same(&ssOswFclose, &ss_osw_wfclose));
  EXPECT_TRUE(same(&ssOswFdopen, &ss_osw_wfdopen));
  EXPECT_TRUE(same(&ssOswOpen, &ss_osw_wopen));
  EXPECT_TRUE(same(&ssOswPthread_mutex_lock, &ss_osw_wpthread_mutex_lock));
  EXPECT_TRUE(same(&ssOswPthread_mutex_unlock, &ss_osw_wpthread_mutex_unlock));
}

// Failures come back with errno exactly as the C library set it, flags and
// mode reach open unchanged, and the mutex calls' results are passed on.
TEST(PortWrappers, PassEverythingOnUnchanged) {
  const dorq_test::TempDir d;
  ASSERT_EQ(symlink("f", (d / "l").c_str()), 0);
  // The elements of a braced list are evaluated in order, so each errno
  // belongs to the call just before it.
  const std::vector<std::pair<bool, int>> failures = {
      {ssOswFopen((d / "m").c_str(), "r") == nullptr, errno},
      {ssOswOpen((d / "l").c_str(), O_RDONLY | O_NOFOLLOW, 0) < 0, errno},
      {ssOswFdopen(-1, "r") == nullptr, errno},
  };
  EXPECT_EQ(failures,
            (std::vector<std::pair<bool, int>>{{true, ENOENT}, {true, ELOOP}, {true, EBADF}}));
  const mode_t saved = umask(027);
  close(ssOswOpen((d / "new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  umask(saved);
  struct stat status {};
  ASSERT_EQ(stat((d / "new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);

  pthread_mutex_t mutex;
  initErrorChecking(&mutex);
  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), EPERM);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), 0);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), EDEADLK);
  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), 0);
}

// The fields are the local time of the clock reading, checked independently
// of the C library's zone handling (shift, then convert) in a zone half an
// hour off the hour.
TEST(PortSlgtd, FieldsAreTheLocalTimeOfTheClock) {
  setenv("TZ", "XYZ-5:30", 1);  // nothing else in this binary reads the time
  tzset();
  slgtdErr err{99, 99};
  slgtdStamp s{};
  timeval before{}, after{};
  gettimeofday(&before, nullptr);
  const time_t seconds = slgtds(&err, &s);
  gettimeofday(&after, nullptr);
  EXPECT_EQ(err.code, 0);
  const int64_t at = seconds * 1000000LL + s.millisecond * 1000 + s.microsecond;
  EXPECT_GE(at, before.tv_sec * 1000000LL + before.tv_usec);
  EXPECT_LE(at, after.tv_sec * 1000000LL + after.tv_usec);
  const time_t shifted = seconds + 5 * 3600 + 30 * 60;
  tm t{};
  ASSERT_NE(gmtime_r(&shifted, &t), nullptr);
  EXPECT_EQ(
      (std::vector<int>{s.year, s.month, s.day, s.hour, s.minute, s.second}),
      (std::vector<int>{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}));
  EXPECT_EQ(slgtd(&err, &s), &s);
}

constexpr int kTen = 10;  // SIGUSR1 on Linux
constexpr int kTwelve = 12;
constexpr int kHighest = 31;
constexpr auto bit = [](int n) { return 1U << n; };

// The signals delivered, in order: negative when the delivery did not carry
// the re-delivery marker or reached a thread other than `caller`.
volatile long caller = 0;
volatile int deliveries[16];
volatile sig_atomic_t deliveryCount = 0;
// Bits the handler of signal 10 flips in the pending set before returning.
volatile uint32_t tenFlips = 0;

void record(int signo, siginfo_t* info, void*) {
  long long value = 0;
  memcpy(&value, &info->si_value, sizeof value);
  const bool marked = info->si_code == SI_QUEUE && value == kSslssRedeliveryValue &&
                      info->si_pid == getpid() && info->si_uid == getuid();
  if (deliveryCount < 16) {
    deliveries[deliveryCount] = marked && syscall(SYS_gettid) == caller ? signo : -signo;
    deliveryCount = deliveryCount + 1;
  }
  sslss_sig_pending_ ^= signo == kTen ? tenFlips : 0;
}

const auto delivered = [] { return std::vector<int>(deliveries, deliveries + deliveryCount); };

class PortLock : public ::testing::Test {
 protected:
  void SetUp() override {
    deliveryCount = 0;
    tenFlips = 0;
    caller = syscall(SYS_gettid);
    sslss_async_call_cnt_ = 0;
    sslss_sig_pending_ = 0;
    struct sigaction action {};
    action.sa_sigaction = record;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (const int signo : {kTen, kTwelve, kHighest}) {
      ASSERT_EQ(sigaction(signo, &action, nullptr), 0);
    }
  }
};

// Any flag but 1 is a lock not yet initialised: the first use initialises and
// locks it, then, once the outermost deferral section ends, re-delivers pending
// signals 1 to 30 to the calling thread in ascending order, reading the set
// afresh for each. Later uses only lock.
TEST_F(PortLock, FirstUseInitialisesAndRedelivers) {
  // sections: deferral sections open around the first use.
  // clang-format off
  const struct { uint32_t flag; int32_t sections; uint32_t pending, tenFlips;
                 std::vector<int> expected; uint32_t left; } cases[] = {
      {0, 0, bit(kTen), 0, {kTen}, 0},
      {2, 2, bit(kTen), 0, {}, bit(kTen)},
      {0xFFFFFFFF, 0, bit(kTwelve) | bit(kTen), 0, {kTen, kTwelve}, 0},
      {0, 0, bit(0) | bit(kTen) | bit(kHighest), 0, {kTen}, bit(0) | bit(kHighest)},
      {0, 0, bit(kTen), bit(kTwelve), {kTen, kTwelve}, 0},
      {0, 0, bit(kTen) | bit(kTwelve), bit(kTwelve), {kTen}, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    deliveryCount = 0;
    tenFlips = c.tenFlips;
    sslss_async_call_cnt_ = c.sections;
    sslss_sig_pending_ = c.pending;
    sltsLazyMutex lock;
    memset(&lock, c.flag == 0 ? 0 : 0xA5, sizeof lock);
    lock.initialised = c.flag;
    ASSERT_EQ(sltsima(&lock), 0);
    EXPECT_EQ(lock.initialised, 1U);
    EXPECT_EQ(pthread_mutex_trylock(&lock.mutex), EBUSY);
    EXPECT_EQ(delivered(), c.expected);
    EXPECT_EQ(sslss_sig_pending_, c.left);
    EXPECT_EQ(sslss_async_call_cnt_, c.sections);
    ASSERT_EQ(sltsimr(&lock), 0);
    // A later use takes neither sltsqgm (held here, so taking it would hang)
    // nor the deferral count, and re-delivers nothing.
    deliveryCount = 0;
    sslss_sig_pending_ = bit(kTen);
    ASSERT_EQ(pthread_mutex_lock(&sltsqgm), 0);
    EXPECT_EQ(sltsima(&lock), 0);
    EXPECT_EQ(pthread_mutex_trylock(&lock.mutex), EBUSY);
    EXPECT_EQ(sltsimr(&lock), 0);
    ASSERT_EQ(pthread_mutex_unlock(&sltsqgm), 0);
    EXPECT_EQ(delivered(), std::vector<int>{});
    EXPECT_EQ(sslss_async_call_cnt_, c.sections);
  }
}

// A thread that found the lock not initialised looks again under sltsqgm and
// does not initialise it a second time. The pending set and the count belong
// to one thread: the worker re-delivers its own signals and leaves ours alone.
TEST_F(PortLock, InitialisationIsCheckedAgainUnderTheGlobalLock) {
  sltsLazyMutex lock{};
  std::atomic<int32_t*> workerCount{nullptr};
  std::atomic<bool> workerDone{false};
  int workerResult = -1;
  uint32_t workerPendingAfter = 1;
  sslss_sig_pending_ = bit(kTwelve);
  pthread_mutex_lock(&sltsqgm);
  std::thread worker([&] {
    caller = syscall(SYS_gettid);
    sslss_sig_pending_ = bit(kTen);
    workerCount = &sslss_async_call_cnt_;
    workerResult = sltsima(&lock);
    workerPendingAfter = sslss_sig_pending_;
    workerDone = true;
  });
  // The count rises once the worker has seen the lock not initialised; from
  // then on it needs sltsqgm, which is held here.
  while (!workerDone && (workerCount.load() == nullptr ||
                         __atomic_load_n(workerCount.load(), __ATOMIC_ACQUIRE) != 1)) {
    std::this_thread::yield();
  }
  const bool finishedWithoutGlobalLock = workerDone;
  // Initialise the lock as another first use would, but error-checking.
  initErrorChecking(&lock.mutex);
  __atomic_store_n(&lock.initialised, 1U, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&sltsqgm);
  worker.join();
  EXPECT_FALSE(finishedWithoutGlobalLock) << "initialised without taking sltsqgm";
  EXPECT_EQ(workerResult, 0);
  // Still error-checking: the worker's lock is refused by another thread.
  EXPECT_EQ(pthread_mutex_unlock(&lock.mutex), EPERM) << "the mutex was initialised again";
  EXPECT_EQ(delivered(), std::vector<int>{kTen});
  EXPECT_EQ(workerPendingAfter, 0U);
  EXPECT_EQ(sslss_sig_pending_, bit(kTwelve));
}

}  // namespace
