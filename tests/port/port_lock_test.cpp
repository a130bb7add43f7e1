// The self-initialising lock and the re-delivery of signals deferred while
// its first use initialises it.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "port/slts_lazy_mutex.h"
#include "port/sslss_signals.h"

namespace {

constexpr int kTen = 10;  // SIGUSR1 on Linux
constexpr int kTwelve = 12;
constexpr int kHighest = 31;
constexpr uint32_t bit(int n) {
  return 1U << n;
}

// Each delivery: the signal, whether it carried the re-delivery marker, and
// the thread that ran the handler.
struct Delivery {
  int signo;
  bool marked;
  long tid;
};
constexpr int kMaxDeliveries = 16;
Delivery deliveries[kMaxDeliveries];
volatile sig_atomic_t deliveryCount = 0;

// What the handler of signal 10 does to the pending set before returning.
enum class OnTen { Nothing, SetTwelve, ClearTwelve };
volatile OnTen onTen = OnTen::Nothing;

void record(int signo, siginfo_t* info, void*) {
  if (deliveryCount < kMaxDeliveries) {
    long long value = 0;
    memcpy(&value, &info->si_value, sizeof value);
    const bool marked = info->si_code == SI_QUEUE && value == kSslssRedeliveryValue &&
                        info->si_pid == getpid() && info->si_uid == getuid();
    deliveries[deliveryCount] = Delivery{signo, marked, syscall(SYS_gettid)};
    deliveryCount = deliveryCount + 1;
  }
  if (signo == kTen && onTen == OnTen::SetTwelve) {
    sslss_sig_pending_ |= bit(kTwelve);
  } else if (signo == kTen && onTen == OnTen::ClearTwelve) {
    sslss_sig_pending_ &= ~bit(kTwelve);
  }
}

class PortLock : public ::testing::Test {
 protected:
  void SetUp() override {
    deliveryCount = 0;
    onTen = OnTen::Nothing;
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

// Zero-filled storage, and any flag value other than 1 whatever the mutex
// bytes hold, is a lock not yet initialised: the first use initialises and
// locks it. Later uses take neither sltsqgm (held here, so taking it would
// hang) nor the deferral count, and re-deliver nothing.
TEST_F(PortLock, FirstUseInitialisesLaterUsesOnlyLock) {
  for (const uint32_t flag : {0U, 2U, 0xFFFFFFFFU}) {
    SCOPED_TRACE(flag);
    sltsLazyMutex lock;
    memset(&lock, flag == 0 ? 0 : 0xA5, sizeof lock);
    lock.initialised = flag;
    ASSERT_EQ(sltsima(&lock), 0);
    EXPECT_EQ(lock.initialised, 1U);
    EXPECT_EQ(pthread_mutex_trylock(&lock.mutex), EBUSY);
    EXPECT_EQ(sslss_async_call_cnt_, 0);
    ASSERT_EQ(sltsimr(&lock), 0);

    ASSERT_EQ(pthread_mutex_lock(&sltsqgm), 0);
    sslss_async_call_cnt_ = 3;
    sslss_sig_pending_ = bit(kTen);
    EXPECT_EQ(sltsima(&lock), 0);
    EXPECT_EQ(pthread_mutex_trylock(&lock.mutex), EBUSY);
    EXPECT_EQ(sltsimr(&lock), 0);
    ASSERT_EQ(pthread_mutex_unlock(&sltsqgm), 0);
    EXPECT_EQ(sslss_async_call_cnt_, 3);
    EXPECT_EQ(sslss_sig_pending_, bit(kTen));
    EXPECT_EQ(deliveryCount, 0);
    sslss_async_call_cnt_ = 0;
    sslss_sig_pending_ = 0;
  }
}

// A thread that found the lock not initialised waits for sltsqgm and then
// looks again: when another first use initialised it meanwhile, the mutex
// must not be initialised a second time (under another holder's feet).
TEST_F(PortLock, InitialisationIsCheckedAgainUnderTheGlobalLock) {
  sltsLazyMutex lock{};
  std::atomic<int32_t*> workerCount{nullptr};
  std::atomic<bool> workerDone{false};
  int workerResult = -1;
  pthread_mutex_lock(&sltsqgm);
  std::thread worker([&] {
    workerCount = &sslss_async_call_cnt_;
    workerResult = sltsima(&lock);
    if (workerResult == 0) {
      sltsimr(&lock);
    }
    workerDone = true;
  });
  // The count rises once the worker has seen the lock not initialised; from
  // then on it needs sltsqgm, which is held here.
  while (!workerDone && (workerCount.load() == nullptr ||
                         __atomic_load_n(workerCount.load(), __ATOMIC_ACQUIRE) != 1)) {
    std::this_thread::yield();
  }
  const bool finishedWithoutGlobalLock = workerDone;
  // Initialise the lock as another first use would, but as an error-checking
  // mutex, which tells itself apart from a default one.
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(&lock.mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  __atomic_store_n(&lock.initialised, 1U, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&sltsqgm);
  worker.join();
  EXPECT_FALSE(finishedWithoutGlobalLock) << "initialised without taking sltsqgm";
  EXPECT_EQ(workerResult, 0);
  EXPECT_EQ(pthread_mutex_unlock(&lock.mutex), EPERM) << "the mutex was initialised again";
}

// The first use re-delivers the pending signals to the calling thread,
// marked as re-deliveries, once the outermost deferral section ends; in
// ascending order, bits 0 and 31 never examined, and the set read afresh for
// every signal, so a handler run by an earlier re-delivery can add or
// withdraw a later one.
TEST_F(PortLock, FirstUseRedeliversPendingSignals) {
  const struct {
    const char* what;
    int32_t sections;  // deferral sections open around the first use
    uint32_t pending;
    OnTen onTen;
    std::vector<int> expected;
    uint32_t left;
  } cases[] = {
      {"one", 0, bit(kTen), OnTen::Nothing, {kTen}, 0},
      {"inside an outer section", 2, bit(kTen), OnTen::Nothing, {}, bit(kTen)},
      {"ascending", 0, bit(kTwelve) | bit(kTen), OnTen::Nothing, {kTen, kTwelve}, 0},
      {"bits 0 and 31",
       0,
       bit(0) | bit(kTen) | bit(kHighest),
       OnTen::Nothing,
       {kTen},
       bit(0) | bit(kHighest)},
      {"added by handler", 0, bit(kTen), OnTen::SetTwelve, {kTen, kTwelve}, 0},
      {"withdrawn by handler", 0, bit(kTen) | bit(kTwelve), OnTen::ClearTwelve, {kTen}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    deliveryCount = 0;
    onTen = c.onTen;
    sslss_async_call_cnt_ = c.sections;
    sslss_sig_pending_ = c.pending;
    sltsLazyMutex lock{};
    ASSERT_EQ(sltsima(&lock), 0);
    std::vector<int> delivered;
    for (int i = 0; i < deliveryCount; ++i) {
      delivered.push_back(deliveries[i].signo);
      EXPECT_TRUE(deliveries[i].marked);
      EXPECT_EQ(deliveries[i].tid, syscall(SYS_gettid));
    }
    EXPECT_EQ(delivered, c.expected);
    EXPECT_EQ(sslss_sig_pending_, c.left);
    EXPECT_EQ(sslss_async_call_cnt_, c.sections);
    ASSERT_EQ(sltsimr(&lock), 0);
  }
}

// The set and the count belong to one thread: another thread's first use
// re-delivers its own signals to itself and leaves this thread's alone.
TEST_F(PortLock, EachThreadRedeliversItsOwnSet) {
  sslss_sig_pending_ = bit(kTwelve);
  sltsLazyMutex lock{};
  long workerTid = 0;
  uint32_t workerPendingAfter = 1;
  std::thread([&] {
    workerTid = syscall(SYS_gettid);
    sslss_sig_pending_ = bit(kTen);
    if (sltsima(&lock) == 0) {
      sltsimr(&lock);
    }
    workerPendingAfter = sslss_sig_pending_;
  }).join();
  ASSERT_EQ(deliveryCount, 1);
  EXPECT_EQ(deliveries[0].signo, kTen);
  EXPECT_EQ(deliveries[0].tid, workerTid);
  EXPECT_EQ(workerPendingAfter, 0U);
  EXPECT_EQ(sslss_sig_pending_, bit(kTwelve));
}

}  // namespace
