// Tests that need root fail, not skip, when CI=true.
#ifndef DORQ_TESTS_SUPPORT_REQUIRE_ROOT_H
#define DORQ_TESTS_SUPPORT_REQUIRE_ROOT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace dorq_test {

inline bool inCi() {
  const char* ci = getenv("CI");
  return ci != nullptr && strcmp(ci, "true") == 0;
}

}  // namespace dorq_test

#define DORQ_REQUIRE_ROOT()                                           \
  do {                                                                \
    if (geteuid() != 0) {                                             \
      if (dorq_test::inCi()) {                                        \
        FAIL() << "this test needs root, and CI=true forbids a skip"; \
      }                                                               \
      GTEST_SKIP() << "this test needs root";                         \
    }                                                                 \
  } while (0)

#endif  // DORQ_TESTS_SUPPORT_REQUIRE_ROOT_H
