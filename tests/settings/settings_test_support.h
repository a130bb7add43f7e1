// Support for the settings tests: environment variables set for one scope,
// cases that run in a process of their own, and leak checks.
#ifndef DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H
#define DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace dorq_settings_test {

// Sets (or, with nullopt, removes) an environment variable and puts back
// what was there before when the scope ends.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Sets or removes a variable for the rest of the process (child processes).
void setEnv(const std::string& name, const std::optional<std::string>& value);

// The settings cache is once-per-process state, so every case that may read
// the settings file runs in a forked child: the test process itself never
// misses the environment and so keeps the cache empty for every child. The
// child starts with the fault injector reset and ZANTIX_HOME and the file's
// settings removed from its environment, runs body, checks for leaks and
// exits 1 when an expectation failed (gtest prints it from the child).
void inFreshProcess(const std::function<void()>& body);

// Runs body in a forked child as above and returns the number it computed;
// nullopt when the child failed.
std::optional<unsigned> valueFromFreshProcess(const std::function<unsigned()>& body);

// True when the sanitizer leak check found nothing (always true without it).
bool noLeaks();

// A lookup's result, error number and the text it produced.
struct Lookup {
  int result;
  unsigned error;
  std::string value;  // the bytes written at the start of the buffer (up to result)
};
bool operator==(const Lookup& a, const Lookup& b);
void PrintTo(const Lookup& lookup, std::ostream* out);
// Looks name up with a buffer of bufsize bytes and options.
Lookup lookup(const std::string& name, size_t bufsize = 1024, unsigned options = 0);
// The expected outcomes.
Lookup found(const std::string& value);
Lookup notSet();
Lookup failed(unsigned error);

}  // namespace dorq_settings_test

#endif  // DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H
