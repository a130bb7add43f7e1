// Re-delivery of deferred signals to the calling thread.
#include "port/sslss_signals.h"

#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

thread_local int32_t sslss_async_call_cnt_ = 0;
thread_local uint32_t sslss_sig_pending_ = 0;

namespace {

// Bits 0 and 31 are never examined.
constexpr int kFirstSignal = 1;
constexpr int kLastSignal = 30;

void queueToSelf(int signo) {
  siginfo_t info;
  memset(&info, 0, sizeof info);
  info.si_signo = signo;
  info.si_errno = 0;
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  // The marker needs all 64 bits of the value union.
  static_assert(sizeof info.si_value == sizeof(uint64_t));
  const auto marker = static_cast<uint64_t>(kSslssRedeliveryValue);
  memcpy(&info.si_value, &marker, sizeof marker);
  const long tid = syscall(SYS_gettid);
  // The result is not examined: a signal that cannot be queued is lost, as it
  // would have been without the deferral.
  (void)syscall(SYS_rt_tgsigqueueinfo, getpid(), tid, signo, &info);
}

}  // namespace

void sslss_sigset_raise_signals() {
  for (int signo = kFirstSignal; signo <= kLastSignal; ++signo) {
    const uint32_t bit = 1U << signo;
    // Read afresh each time: a handler run by an earlier re-delivery may have
    // changed the set.
    if ((sslss_sig_pending_ & bit) == 0) {
      continue;
    }
    sslss_sig_pending_ &= ~bit;
    queueToSelf(signo);
  }
}
