// The portability layer's self-initialising lock and signal re-delivery. The wrappers only pass
// calls on (tests/support's fault injector replaces them); e2e/trace.bats checks the time stamp.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "port/slts_lazy_mutex.h"
#include "port/sslss_signals.h"

namespace {

constexpr auto bit = [](int n) { return 1U << n; };
// Signals delivered, in order; negative when not marked as re-delivered or not to thread `caller`.
volatile long caller = 0;
volatile int deliveries[16];
volatile sig_atomic_t deliveryCount = 0;
volatile uint32_t tenFlips = 0;  // bits signal 10's handler flips in the pending set

void record(int signo, siginfo_t* info, void*) {
  const auto value = reinterpret_cast<intptr_t>(info->si_value.sival_ptr);
  const bool marked = info->si_code == SI_QUEUE && value == kSslssRedeliveryValue &&
                      info->si_pid == getpid() && info->si_uid == getuid();
  if (deliveryCount < 16) {
    deliveries[deliveryCount] = marked && syscall(SYS_gettid) == caller ? signo : -signo;
    deliveryCount = deliveryCount + 1;
  }
  sslss_sig_pending_ ^= signo == 10 ? tenFlips : 0;
}

const auto delivered = [] { return std::vector<int>(deliveries, deliveries + deliveryCount); };
void catchSignals() {
  deliveryCount = 0;
  tenFlips = 0;
  caller = syscall(SYS_gettid);
  struct sigaction action {};
  action.sa_sigaction = record;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (const int signo : {10, 12, 31}) {
    ASSERT_EQ(sigaction(signo, &action, nullptr), 0);
  }
}

// Flag not 1: the first use initialises and locks, then, outside any deferral section, re-delivers
// pending signals 1-30 to its thread in ascending order, re-reading the set; later uses only lock.
TEST(PortLock, FirstUseInitialisesAndRedelivers) {
  catchSignals();
  // flag, deferral sections open around the first use, pending, tenFlips, delivered, left pending
  const std::tuple<uint32_t, int32_t, uint32_t, uint32_t, std::vector<int>, uint32_t> cases[] = {
      {0, 0, bit(10), 0, {10}, 0},
      {2, 2, bit(10), 0, {}, bit(10)},
      {0xFFFFFFFF, 0, bit(12) | bit(10), 0, {10, 12}, 0},
      {0, 0, bit(0) | bit(10) | bit(31), 0, {10}, bit(0) | bit(31)},
      {0, 0, bit(10), bit(12), {10, 12}, 0},
      {0, 0, bit(10) | bit(12), bit(12), {10}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c));
    const auto& [flag, sections, pending, flips, expected, left] = c;
    deliveryCount = 0;
    tenFlips = flips;
    sslss_async_call_cnt_ = sections;
    sslss_sig_pending_ = pending;
    sltsLazyMutex lock;
    memset(&lock, flag == 0 ? 0 : 0xA5, sizeof lock);
    lock.initialised = flag;
    ASSERT_EQ(sltsima(&lock), 0);
    EXPECT_TRUE(lock.initialised == 1U && pthread_mutex_trylock(&lock.mutex) == EBUSY);
    EXPECT_EQ(delivered(), expected);
    EXPECT_TRUE(sslss_sig_pending_ == left && sslss_async_call_cnt_ == sections);
    ASSERT_EQ(sltsimr(&lock), 0);
    // A later use takes neither sltsqgm (held here: taking it would hang) nor the deferral count.
    sslss_sig_pending_ = bit(10);
    ASSERT_EQ(pthread_mutex_lock(&sltsqgm), 0);
    EXPECT_EQ(sltsima(&lock), 0);
    EXPECT_EQ(pthread_mutex_trylock(&lock.mutex), EBUSY);
    EXPECT_EQ(sltsimr(&lock), 0);
    ASSERT_EQ(pthread_mutex_unlock(&sltsqgm), 0);
    EXPECT_TRUE(delivered() == expected && sslss_async_call_cnt_ == sections);
  }
}

// Pending set and deferral count are per thread: the worker re-delivers its signals, not ours.
TEST(PortLock, InitialisationIsCheckedAgainUnderTheGlobalLock) {
  catchSignals();
  sltsLazyMutex lock{};
  std::atomic<int32_t*> count{nullptr};
  std::atomic<bool> done{false};
  sslss_sig_pending_ = bit(12);
  pthread_mutex_lock(&sltsqgm);
  std::thread worker([&] {
    caller = syscall(SYS_gettid);
    sslss_sig_pending_ = bit(10);
    count = &sslss_async_call_cnt_;
    EXPECT_TRUE(sltsima(&lock) == 0 && sslss_sig_pending_ == 0);
    done = true;
  });
  // The count rises once the worker has seen the lock not initialised; then it waits for sltsqgm.
  while (!done &&
         (count.load() == nullptr || __atomic_load_n(count.load(), __ATOMIC_ACQUIRE) != 1)) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(done) << "initialised without taking sltsqgm";
  // Initialise it as another first use would, but error-checking, which refuses a wrong unlock.
  lock.mutex = pthread_mutex_t PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
  __atomic_store_n(&lock.initialised, 1U, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&sltsqgm);
  worker.join();
  EXPECT_EQ(pthread_mutex_unlock(&lock.mutex), EPERM) << "the mutex was initialised again";
  EXPECT_EQ(delivered(), std::vector<int>{10});
  EXPECT_EQ(sslss_sig_pending_, bit(12));
}

}  // namespace
