// A binary that defines the ssMem/ssOsw names replaces the wrappers for every
// caller, the library's own callers included: this one links the fault
// injector and defines the two mutex wrappers itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>

#include <string>

#include "port/slts_lazy_mutex.h"
#include "port/ss_wrappers.h"
#include "port/unique_stream.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

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

using dorq_test::Wrapper;

template <typename F>
void* address(F* function) {
  return reinterpret_cast<void*>(function);
}

class PortSeam : public ::testing::Test {
 protected:
  void SetUp() override { dorq_test::resetFaults(); }
  void TearDown() override { dorq_test::resetFaults(); }
};

TEST_F(PortSeam, ReplacementsAreNotTheWrappers) {
  EXPECT_NE(address(&ssMemMalloc), address(&ss_mem_walc));
  EXPECT_NE(address(&ssOswFopen), address(&ss_osw_wfopen));
  EXPECT_NE(address(&ssOswOpen), address(&ss_osw_wopen));
  EXPECT_NE(address(&ssOswPthread_mutex_lock), address(&ss_osw_wpthread_mutex_lock));
}

// The lock pair of the port library reaches the mutex calls through the
// names, so it runs into this binary's definitions.
TEST_F(PortSeam, LibraryCallersUseTheReplacement) {
  sltsLazyMutex lock{};
  mutexLocks = 0;
  mutexUnlocks = 0;
  ASSERT_EQ(sltsima(&lock), 0);
  ASSERT_EQ(sltsimr(&lock), 0);
  ASSERT_EQ(sltsima(&lock), 0);
  ASSERT_EQ(sltsimr(&lock), 0);
  EXPECT_EQ(mutexLocks, 2U);
  EXPECT_EQ(mutexUnlocks, 2U);
}

TEST_F(PortSeam, InjectedFailuresReachTheCaller) {
  dorq_test::armFault(Wrapper::Malloc, 2, ENOMEM);
  void* first = ssMemMalloc(8);
  errno = 0;
  void* second = ssMemMalloc(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(dorq_test::callCount(Wrapper::Malloc), 2U);
  ssMemFree(first);

  const dorq_test::TempDir dir;
  dorq_test::writeFile(dir / "f", "x");
  dorq_test::armFault(Wrapper::Fopen, 1, EMFILE);
  errno = 0;
  EXPECT_EQ(ssOswFopen((dir / "f").c_str(), "r"), nullptr);
  EXPECT_EQ(errno, EMFILE);
  // Unarmed again after the chosen call: the real wrapper answers.
  UniqueStream stream(ssOswFopen((dir / "f").c_str(), "r"));
  EXPECT_TRUE(stream.valid());
  EXPECT_EQ(stream.close(), 0);
  EXPECT_EQ(dorq_test::callCount(Wrapper::Fclose), 1U);
}

}  // namespace
