// A binary that defines the ssMem/ssOsw names replaces the wrappers for every
// caller, the library's own callers included: this one links the fault
// injector and defines the two mutex wrappers itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include "port/slts_lazy_mutex.h"
#include "port/ss_wrappers.h"
#include "tests/support/fault_injection.h"

namespace {

unsigned mutexLocks = 0;
unsigned mutexUnlocks = 0;

}  // namespace

extern "C" {

int ssOswPthread_mutex_lock(pthread_mutex_t* mutex) {
  ++mutexLocks;
  return ss_osw_wpthread_mutex_lock(mutex);
}

int ssOswPthread_mutex_unlock(pthread_mutex_t* mutex) {
  ++mutexUnlocks;
  return ss_osw_wpthread_mutex_unlock(mutex);
}

}  // extern "C"

namespace {

// The lock pair of the port library reaches the mutex calls through the
// names, so it runs into this binary's definitions; so do the allocations.
TEST(PortSeam, LibraryCallersUseTheReplacement) {
  sltsLazyMutex lock{};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(sltsima(&lock), 0);
    ASSERT_EQ(sltsimr(&lock), 0);
  }
  EXPECT_EQ(mutexLocks, 2U);
  EXPECT_EQ(mutexUnlocks, 2U);

  dorq_test::armFault(dorq_test::Wrapper::Malloc, 1, ENOMEM);
  errno = 0;
  EXPECT_EQ(ssMemMalloc(8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  dorq_test::resetFaults();
}

}  // namespace
