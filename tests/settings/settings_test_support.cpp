#include "tests/settings/settings_test_support.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "settings/slzgetevar.h"
#include "tests/support/fault_injection.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DORQ_SETTINGS_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(DORQ_SETTINGS_TEST_ASAN)
#define DORQ_SETTINGS_TEST_ASAN 1
#endif
#ifdef DORQ_SETTINGS_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace dorq_settings_test {

namespace {

std::optional<std::string> currentValue(const std::string& name) {
  const char* value = getenv(name.c_str());
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

// The variables that would let a child's lookups find something it did not set.
constexpr const char* kCleared[] = {"ZANTIX_HOME", "KVL_ADMIN", "DISABLE_VUDOV_FEATURES",
                                    "logProperty", "logFilePath"};

}  // namespace

void setEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), saved_(currentValue(name_)) {
  setEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
  setEnv(name_, saved_);
}

bool noLeaks() {
#ifdef DORQ_SETTINGS_TEST_ASAN
  return __lsan_do_recoverable_leak_check() == 0;
#else
  return true;
#endif
}

namespace {

// Forks; the child starts clean, runs body and exits 1 when an expectation
// failed or memory leaked. The parent waits and returns the child's status.
int runChild(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return -1;
  }
  if (pid == 0) {
    dorq_test::resetFaults();
    for (const char* name : kCleared) {
      unsetenv(name);
    }
    body();
    const bool leaked = !noLeaks();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() || leaked ? 1 : 0);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "waitpid failed";
    return -1;
  }
  return status;
}

}  // namespace

void inFreshProcess(const std::function<void()>& body) {
  const int status = runChild(body);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died with status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures (or leaks) are reported above";
}

std::optional<unsigned> valueFromFreshProcess(const std::function<unsigned()>& body) {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return std::nullopt;
  }
  const int status = runChild([&] {
    close(fds[0]);
    const unsigned value = body();
    if (write(fds[1], &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
      ADD_FAILURE() << "could not report the value";
    }
  });
  close(fds[1]);
  unsigned value = 0;
  const bool received = read(fds[0], &value, sizeof value) == static_cast<ssize_t>(sizeof value);
  close(fds[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !received) {
    ADD_FAILURE() << "the child failed (status " << status << ")";
    return std::nullopt;
  }
  return value;
}

Lookup lookup(const std::string& name, size_t bufsize, unsigned options) {
  std::vector<char> buf(bufsize == 0 ? 1 : bufsize, '\0');
  uint32_t error = 0xFFFFFFFF;
  const int32_t result = slzgetevar(&error, name.data(), name.size(), buf.data(), bufsize, options);
  std::string value;
  if (result > 0) {
    value.assign(buf.data(), static_cast<size_t>(result));
  }
  return Lookup{result, error, value};
}

bool operator==(const Lookup& a, const Lookup& b) {
  return a.result == b.result && a.error == b.error && a.value == b.value;
}

void PrintTo(const Lookup& lookup, std::ostream* out) {
  *out << "{result " << lookup.result << ", error " << lookup.error << ", value \"" << lookup.value
       << "\"}";
}

Lookup found(const std::string& value) {
  return Lookup{static_cast<int>(value.size()), kSlzOk, value};
}
Lookup notSet() {
  return Lookup{kSlzResultNotSet, kSlzNotSet, ""};
}
Lookup failed(unsigned error) {
  return Lookup{kSlzResultError, error, ""};
}

}  // namespace dorq_settings_test
