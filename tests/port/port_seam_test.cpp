// A binary that defines the ssMem/ssOsw names replaces the wrappers for every
// caller, the port library's own callers included: this one defines the two
// mutex wrappers itself.
#include <gtest/gtest.h>
#include <pthread.h>

#include "port/slts_lazy_mutex.h"
#include "port/ss_wrappers.h"

static unsigned mutexCalls = 0;

extern "C" int ssOswPthread_mutex_lock(pthread_mutex_t* mutex) {
  ++mutexCalls;
  return ss_osw_wpthread_mutex_lock(mutex);
}
extern "C" int ssOswPthread_mutex_unlock(pthread_mutex_t* mutex) {
  ++mutexCalls;
  return ss_osw_wpthread_mutex_unlock(mutex);
}

TEST(PortSeam, LibraryCallersUseTheReplacement) {
  sltsLazyMutex lock{};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(sltsima(&lock), 0);
    ASSERT_EQ(sltsimr(&lock), 0);
  }
  EXPECT_EQ(mutexCalls, 4U);
}
