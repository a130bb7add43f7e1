#include "tests/settings/settings_test_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "settings/slzgetevar.h"
#include "tests/support/fault_injection.h"

// The sanitizer build is a clang build.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DORQ_SETTINGS_TEST_ASAN 1
#endif
#endif
#ifdef DORQ_SETTINGS_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace dorq_settings_test {

namespace {

// Marks the bytes of a lookup's buffer that the call did not write.
constexpr char kUnwritten = '@';

}  // namespace

void setEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

bool noLeaks() {
#ifdef DORQ_SETTINGS_TEST_ASAN
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

void inFreshProcess(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0) << "fork failed";
  if (pid == 0) {
    dorq_test::resetFaults();
    for (const char* name : {"ZANTIX_HOME", "KVL_ADMIN", "DISABLE_VUDOV_FEATURES"}) {
      unsetenv(name);
    }
    body();
    const bool leaked = !noLeaks();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() || leaked ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died with status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures (or leaks) are reported above";
}

// The buffer has one byte more than the call is told, so that a write past
// bufsize (a terminator, say) shows in written.
Lookup lookup(const std::string& name, size_t bufsize, unsigned options) {
  std::vector<char> buf(bufsize + 1, kUnwritten);
  uint32_t error = 0xFFFFFFFF;
  const int32_t result = slzgetevar(&error, name.data(), name.size(), buf.data(), bufsize, options);
  const std::string all(buf.data(), buf.size());
  return Lookup{result, error, all.substr(0, all.find(kUnwritten))};
}

void PrintTo(const Lookup& lookup, std::ostream* out) {
  *out << "{result " << lookup.result << ", error " << lookup.error << ", written \""
       << lookup.written.substr(0, 80) << "\" (" << lookup.written.size() << " bytes)}";
}

Lookup found(const std::string& value) {
  return Lookup{static_cast<int>(value.size()), kSlzOk, value};
}
Lookup notSet() {
  return Lookup{kSlzResultNotSet, kSlzNotSet, ""};
}
Lookup failed(unsigned error, const std::string& written) {
  return Lookup{kSlzResultError, error, written};
}

}  // namespace dorq_settings_test
