// Support for the settings tests: cases that run in a process of their own,
// and lookups compared by what they return and write.
#ifndef DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H
#define DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H

#include <stddef.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace dorq_settings_test {

// Sets or, with nullopt, removes an environment variable.
void setEnv(const std::string& name, const std::optional<std::string>& value);

// The settings cache is once-per-process state, so every case that may read
// the settings file runs in a forked child: the test process itself never
// looks anything up and so keeps the cache empty for every child. The child
// starts with the fault injector reset and ZANTIX_HOME and the file's
// settings removed from its environment, runs body, and fails the test when
// an expectation failed (gtest prints it from the child) or memory leaked.
void inFreshProcess(const std::function<void()>& body);

// True when the sanitizer leak check finds nothing (always true without it).
bool noLeaks();

// A lookup's result, error number and the bytes it wrote into its buffer.
struct Lookup {
  int result;
  unsigned error;
  std::string written;
  bool operator==(const Lookup&) const = default;
};
void PrintTo(const Lookup& lookup, std::ostream* out);
// Looks name up (its length as namelen) in a buffer of bufsize bytes.
Lookup lookup(const std::string& name, size_t bufsize = 1024, unsigned options = 0);
Lookup found(const std::string& value);
Lookup notSet();
Lookup failed(unsigned error, const std::string& written = "");

}  // namespace dorq_settings_test

#endif  // DORQ_TESTS_SETTINGS_SETTINGS_TEST_SUPPORT_H
