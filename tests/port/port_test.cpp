// The portability layer's self-initialising lock and signal re-delivery. The
// wrappers only pass calls on, and the other tests replace them with the
// fault injector (tests/support); the local time stamp heads every trace
// line (tests/e2e/trace.bats).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <thread>
#include <vector>

#include "port/slts_lazy_mutex.h"
#include "port/sslss_signals.h"

namespace {

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
    EXPECT_TRUE(lock.initialised == 1U && pthread_mutex_trylock(&lock.mutex) == EBUSY);
    EXPECT_EQ(delivered(), c.expected);
    EXPECT_TRUE(sslss_sig_pending_ == c.left && sslss_async_call_cnt_ == c.sections);
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
    EXPECT_TRUE(delivered().empty() && sslss_async_call_cnt_ == c.sections);
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
  // Initialise the lock as another first use would, but error-checking: such
  // a mutex tells a wrong unlock, and so itself from a default one.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(&lock.mutex, &attributes);
  __atomic_store_n(&lock.initialised, 1U, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&sltsqgm);
  worker.join();
  EXPECT_FALSE(finishedWithoutGlobalLock) << "initialised without taking sltsqgm";
  EXPECT_EQ(workerResult, 0);
  // Still error-checking: the worker's lock is refused by another thread.
  EXPECT_EQ(pthread_mutex_unlock(&lock.mutex), EPERM) << "the mutex was initialised again";
  EXPECT_EQ(delivered(), std::vector<int>{kTen});
  EXPECT_TRUE(workerPendingAfter == 0 && sslss_sig_pending_ == bit(kTwelve));
}

}  // namespace
