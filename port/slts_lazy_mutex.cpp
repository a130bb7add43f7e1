// Self-initialising lock.
#include "port/slts_lazy_mutex.h"

#include "port/ss_wrappers.h"
#include "port/sslss_signals.h"

pthread_mutex_t sltsqgm = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr uint32_t kInitialised = 1;

// The flag is read without sltsqgm: a thread that sees 1 must also see the
// initialised mutex, so it is written with release and read with acquire.
bool isInitialised(sltsLazyMutex* lock) {
  return __atomic_load_n(&lock->initialised, __ATOMIC_ACQUIRE) == kInitialised;
}

void initialiseOnce(sltsLazyMutex* lock) {
  pthread_mutex_lock(&sltsqgm);
  if (!isInitialised(lock)) {
    pthread_mutex_init(&lock->mutex, nullptr);
    __atomic_store_n(&lock->initialised, kInitialised, __ATOMIC_RELEASE);
  }
  pthread_mutex_unlock(&sltsqgm);
}

}  // namespace

int sltsima(sltsLazyMutex* lock) {
  if (isInitialised(lock)) {
    return ssOswPthread_mutex_lock(&lock->mutex);
  }
  // Signal handling is deferred while the initialisation runs; signals that
  // arrived meanwhile are re-delivered once the outermost section ends.
  ++sslss_async_call_cnt_;
  initialiseOnce(lock);
  bool outermost = true;
  if (sslss_async_call_cnt_ > 0) {
    --sslss_async_call_cnt_;
    outermost = sslss_async_call_cnt_ == 0;
  }
  if (outermost && sslss_sig_pending_ != 0) {
    sslss_sigset_raise_signals();
  }
  return ssOswPthread_mutex_lock(&lock->mutex);
}

int sltsimr(sltsLazyMutex* lock) {
  return ssOswPthread_mutex_unlock(&lock->mutex);
}
