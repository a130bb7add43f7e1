// Re-delivery of deferred signals by the first use of a lazy lock: which
// signals are queued, to whom, with what information, and in what order.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "port/slts_lazy_mutex.h"
#include "port/sslss_signals.h"

namespace {

constexpr int kTen = 10;     // SIGUSR1 on Linux
constexpr int kTwelve = 12;  // SIGUSR2
constexpr int kHighest = 31;
constexpr uint32_t bit(int n) {
  return 1U << n;
}

struct Delivery {
  int signo;
  int code;
  intptr_t value;
  pid_t pid;
  uid_t uid;
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
    deliveries[deliveryCount] =
        Delivery{signo,        info->si_code, reinterpret_cast<intptr_t>(info->si_value.sival_ptr),
                 info->si_pid, info->si_uid,  syscall(SYS_gettid)};
    deliveryCount = deliveryCount + 1;
  }
  if (signo == kTen && onTen == OnTen::SetTwelve) {
    sslss_sig_pending_ |= bit(kTwelve);
  } else if (signo == kTen && onTen == OnTen::ClearTwelve) {
    sslss_sig_pending_ &= ~bit(kTwelve);
  }
}

class PortSignals : public ::testing::Test {
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
      sigaction(signo, &action, &saved_[signo]);
    }
  }
  void TearDown() override {
    for (const int signo : {kTen, kTwelve, kHighest}) {
      sigaction(signo, &saved_[signo], nullptr);
    }
    sslss_async_call_cnt_ = 0;
    sslss_sig_pending_ = 0;
  }
  std::vector<int> deliveredSignals() const {
    std::vector<int> signals;
    for (int i = 0; i < deliveryCount; ++i) {
      signals.push_back(deliveries[i].signo);
    }
    return signals;
  }

 private:
  struct sigaction saved_[kHighest + 1]{};
};

TEST_F(PortSignals, FirstUseRedeliversPendingSignalToTheCallingThread) {
  sslss_sig_pending_ = bit(kTen);
  sltsLazyMutex lock{};
  ASSERT_EQ(sltsima(&lock), 0);
  ASSERT_EQ(deliveryCount, 1);
  const Delivery& d = deliveries[0];
  EXPECT_EQ(d.signo, kTen);
  EXPECT_EQ(d.code, -1);
  EXPECT_EQ(d.code, SI_QUEUE);
  EXPECT_EQ(d.value, static_cast<intptr_t>(0x10DE7A4EDLL));
  EXPECT_EQ(d.pid, getpid());
  EXPECT_EQ(d.uid, getuid());
  EXPECT_EQ(d.tid, syscall(SYS_gettid));
  EXPECT_EQ(sslss_async_call_cnt_, 0);
  EXPECT_EQ(sslss_sig_pending_, 0U);
  ASSERT_EQ(sltsimr(&lock), 0);
}

// Inside an outer deferral section nothing is re-delivered: the outermost
// section does that when it ends.
TEST_F(PortSignals, NestedSectionDefersRedelivery) {
  sslss_async_call_cnt_ = 2;
  sslss_sig_pending_ = bit(kTen);
  sltsLazyMutex lock{};
  ASSERT_EQ(sltsima(&lock), 0);
  EXPECT_EQ(deliveryCount, 0);
  EXPECT_EQ(sslss_async_call_cnt_, 2);
  EXPECT_EQ(sslss_sig_pending_, bit(kTen));
  ASSERT_EQ(sltsimr(&lock), 0);
}

// Only the first use re-delivers; an initialised lock just locks.
TEST_F(PortSignals, LaterUseRedeliversNothing) {
  sltsLazyMutex lock{};
  ASSERT_EQ(sltsima(&lock), 0);
  ASSERT_EQ(sltsimr(&lock), 0);
  sslss_sig_pending_ = bit(kTen);
  ASSERT_EQ(sltsima(&lock), 0);
  EXPECT_EQ(deliveryCount, 0);
  EXPECT_EQ(sslss_sig_pending_, bit(kTen));
  ASSERT_EQ(sltsimr(&lock), 0);
}

// Bits 0 and 31 are never examined: they stay set and nothing is queued
// for them.
TEST_F(PortSignals, BitsZeroAndThirtyOneStaySet) {
  sslss_sig_pending_ = bit(0) | bit(kTen) | bit(kHighest);
  sltsLazyMutex lock{};
  ASSERT_EQ(sltsima(&lock), 0);
  EXPECT_EQ(deliveredSignals(), std::vector<int>{kTen});
  EXPECT_EQ(sslss_sig_pending_, bit(0) | bit(kHighest));
  ASSERT_EQ(sltsimr(&lock), 0);
}

struct OrderCase {
  const char* name;
  uint32_t pending;
  OnTen onTen;
  std::vector<int> expected;
};

// Ascending order, and the set is read afresh for every signal number, so a
// handler run by an earlier re-delivery can add or withdraw a later one.
TEST_F(PortSignals, AscendingOrderReadingTheSetAfresh) {
  const OrderCase cases[] = {
      {"both", bit(kTwelve) | bit(kTen), OnTen::Nothing, {kTen, kTwelve}},
      {"added by handler", bit(kTen), OnTen::SetTwelve, {kTen, kTwelve}},
      {"withdrawn by handler", bit(kTen) | bit(kTwelve), OnTen::ClearTwelve, {kTen}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    deliveryCount = 0;
    onTen = c.onTen;
    sslss_sig_pending_ = c.pending;
    sslss_sigset_raise_signals();
    EXPECT_EQ(deliveredSignals(), c.expected);
    EXPECT_EQ(sslss_sig_pending_, 0U);
  }
}

// The set and the count belong to one thread: another thread's first use
// re-delivers its own signals to itself and leaves this thread's alone.
TEST_F(PortSignals, EachThreadRedeliversItsOwnSet) {
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
