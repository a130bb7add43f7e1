// The self-initialising lock: zero-filled storage is a valid, not yet
// initialised record; the first sltsima initialises and locks it, later ones
// only lock.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "port/slts_lazy_mutex.h"
#include "port/sslss_signals.h"

namespace {

// Tries the mutex from another thread: EBUSY while someone holds it.
int tryFromOtherThread(pthread_mutex_t* mutex) {
  int result = -1;
  std::thread([&] {
    result = pthread_mutex_trylock(mutex);
    if (result == 0) {
      pthread_mutex_unlock(mutex);
    }
  }).join();
  return result;
}

class PortLazyMutex : public ::testing::Test {
 protected:
  // A lock that waits forever fails the test instead of stalling the suite.
  static constexpr unsigned kWatchdogSeconds = 60;
  void SetUp() override {
    alarm(kWatchdogSeconds);
    sslss_async_call_cnt_ = 0;
    sslss_sig_pending_ = 0;
  }
  void TearDown() override {
    alarm(0);
    sslss_async_call_cnt_ = 0;
    sslss_sig_pending_ = 0;
  }
};

TEST_F(PortLazyMutex, ZeroFilledRecordIsInitialisedAndLockedByFirstUse) {
  sltsLazyMutex lock;
  memset(&lock, 0, sizeof lock);
  ASSERT_EQ(sltsima(&lock), 0);
  EXPECT_EQ(lock.initialised, 1U);
  EXPECT_EQ(tryFromOtherThread(&lock.mutex), EBUSY);
  EXPECT_EQ(sslss_async_call_cnt_, 0);
  ASSERT_EQ(sltsimr(&lock), 0);
  EXPECT_EQ(tryFromOtherThread(&lock.mutex), 0);
}

// Any flag value other than 1 means "not yet", whatever the mutex bytes hold.
TEST_F(PortLazyMutex, AnyOtherFlagValueMeansNotInitialised) {
  for (const uint32_t flag : {2U, 7U, 0xFFFFFFFFU}) {
    sltsLazyMutex lock;
    memset(&lock, 0xA5, sizeof lock);
    lock.initialised = flag;
    ASSERT_EQ(sltsima(&lock), 0) << flag;
    EXPECT_EQ(lock.initialised, 1U);
    EXPECT_EQ(tryFromOtherThread(&lock.mutex), EBUSY);
    ASSERT_EQ(sltsimr(&lock), 0);
  }
}

// Once initialised, sltsima takes neither sltsqgm (held here by another
// thread) nor the deferral count, and re-delivers nothing.
TEST_F(PortLazyMutex, LaterUseOnlyLocks) {
  sltsLazyMutex lock{};
  ASSERT_EQ(sltsima(&lock), 0);
  ASSERT_EQ(sltsimr(&lock), 0);

  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    pthread_mutex_lock(&sltsqgm);
    held = true;
    while (!release) {
      std::this_thread::yield();
    }
    pthread_mutex_unlock(&sltsqgm);
  });
  while (!held) {
    std::this_thread::yield();
  }
  sslss_async_call_cnt_ = 3;
  sslss_sig_pending_ = 1U << 31;  // never delivered, but a re-delivery would read it
  EXPECT_EQ(sltsima(&lock), 0);
  EXPECT_EQ(sslss_async_call_cnt_, 3);
  EXPECT_EQ(sslss_sig_pending_, 1U << 31);
  EXPECT_EQ(sltsimr(&lock), 0);
  release = true;
  holder.join();
}

// A thread that found the record not initialised waits for sltsqgm and then
// looks again: when another first use initialised the record meanwhile, it
// must not initialise the mutex a second time (under another holder's feet).
TEST_F(PortLazyMutex, InitialisationIsCheckedAgainUnderTheGlobalLock) {
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
  // The count rises once the worker has seen the record not initialised;
  // from then on it needs sltsqgm, which is held here.
  while (!workerDone && (workerCount.load() == nullptr ||
                         __atomic_load_n(workerCount.load(), __ATOMIC_ACQUIRE) != 1)) {
    std::this_thread::yield();
  }
  const bool finishedWithoutGlobalLock = workerDone;
  // Initialise the record as another thread's first use would, but as an
  // error-checking mutex, which tells itself apart from a default one.
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
  // Still error-checking: unlocking a mutex nobody holds is refused.
  EXPECT_EQ(pthread_mutex_unlock(&lock.mutex), EPERM) << "the mutex was initialised again";
}

// All threads leave the start line of a round together: they spin, so that
// on every core one of them meets the next record at the same moment.
class StartLine {
 public:
  explicit StartLine(int threads) : threads_(threads) {}
  void arriveAndWait() {
    const int round = round_.load();
    if (arrived_.fetch_add(1) + 1 == threads_) {
      arrived_ = 0;
      round_ = round + 1;
      return;
    }
    for (unsigned spins = 0; round_.load() == round; ++spins) {
      if (spins % kSpinsBeforeYield == kSpinsBeforeYield - 1) {
        std::this_thread::yield();  // more threads than free cores
      }
    }
  }

 private:
  static constexpr unsigned kSpinsBeforeYield = 1U << 14;
  const int threads_;
  std::atomic<int> arrived_{0};
  std::atomic<int> round_{0};
};

// Threads race the first sltsima on one record, round after round on fresh
// records: every call succeeds and the holders exclude each other.
TEST_F(PortLazyMutex, RacingFirstUseKeepsMutualExclusion) {
  const int threadCount = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2U, 4U));
  constexpr int kRounds = 2000;
  constexpr int kPerRound = 4;
  constexpr int kFirstHolderYields = 4;
  std::vector<std::unique_ptr<sltsLazyMutex>> locks;
  for (int round = 0; round < kRounds; ++round) {
    locks.push_back(std::make_unique<sltsLazyMutex>());  // value-initialised: zero-filled
  }
  std::vector<long> counters(kRounds, 0);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> failures{0};
  std::atomic<int> countsLeftOver{0};
  StartLine start(threadCount);

  auto work = [&](sltsLazyMutex* lock, long* counter) {
    if (sltsima(lock) != 0) {
      ++failures;
      return;
    }
    if (inside.fetch_add(1) != 0) {
      ++overlaps;
    }
    if (*counter == 0) {
      // The first holder stays a while: a second initialisation of the
      // held mutex would let another thread in meanwhile.
      for (int y = 0; y < kFirstHolderYields; ++y) {
        std::this_thread::yield();
      }
    }
    ++*counter;  // plain increment: only safe under the lock
    inside.fetch_sub(1);
    if (sltsimr(lock) != 0) {
      ++failures;
    }
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < threadCount; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        start.arriveAndWait();
        for (int i = 0; i < kPerRound; ++i) {
          work(locks[round].get(), &counters[round]);
        }
      }
      if (sslss_async_call_cnt_ != 0) {
        ++countsLeftOver;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(countsLeftOver, 0);
  for (int round = 0; round < kRounds; ++round) {
    EXPECT_EQ(counters[round], threadCount * kPerRound) << round;
    EXPECT_EQ(locks[round]->initialised, 1U);
  }
}

}  // namespace
