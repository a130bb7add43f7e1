// The settings lookup: requests, the environment, and the settings file read
// once per process. Every case runs in a process of its own (inFreshProcess).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"
#include "tests/settings/settings_test_support.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_settings_test::failed;
using dorq_settings_test::found;
using dorq_settings_test::inFreshProcess;
using dorq_settings_test::Lookup;
using dorq_settings_test::lookup;
using dorq_settings_test::notSet;
using dorq_settings_test::setEnv;

// Refused requests give -2 with their error number and leave the buffer
// alone; only the first namelen bytes of a name count, up to a NUL.
TEST(Settings, Requests) {
  inFreshProcess([] {
    setEnv("DORQ_ST_VALUE", "value");
    const std::string name63(63, 'N');
    const std::string name64(64, 'N');
    setEnv(name63, "value");
    const struct {
      const char* what;
      const char* name;
      uint64_t namelen;
      bool withBuffer;
      uint64_t bufsize;
      Lookup expected;
    } requests[] = {
        {"null name", nullptr, 4, true, 16, failed(kSlzInvalid)},
        {"name length 0", "DORQ_ST_VALUE", 0, true, 16, failed(kSlzInvalid)},
        {"name beginning with NUL", "\0DORQ_ST_VALUE", 14, true, 16, failed(kSlzInvalid)},
        {"null buffer", "DORQ_ST_VALUE", 13, false, 16, failed(kSlzInvalid)},
        {"buffer size 0", "DORQ_ST_VALUE", 13, true, 0, failed(kSlzInvalid)},
        {"name length 63", name63.c_str(), 63, true, 16, found("value")},
        {"name length 64", "DORQ_ST_VALUE", 64, true, 16, failed(kSlzTooLong)},
        {"null buffer, name length 64", name64.c_str(), 64, false, 16, failed(kSlzInvalid)},
        {"unterminated name", "DORQ_ST_VALUEjunk", 13, true, 16, found("value")},
        {"NUL inside namelen", "DORQ_ST_VALUE\0junk", 18, true, 16, found("value")},
    };
    for (const auto& r : requests) {
      char buf[17];
      memset(buf, '@', sizeof buf);
      uint32_t error = 77;
      const int32_t result =
          slzgetevar(&error, r.name, r.namelen, r.withBuffer ? buf : nullptr, r.bufsize, 0);
      const std::string all(buf, sizeof buf);
      EXPECT_EQ((Lookup{result, error, all.substr(0, all.find('@'))}), r.expected) << r.what;
    }
    EXPECT_EQ(slzgetevar(nullptr, "DORQ_ST_VALUE", 13, nullptr, 0, 0), kSlzResultError);
  });
}

// A chain of n variables, each naming the next, the last holding "end".
std::vector<std::pair<std::string, std::string>> chainOf(int n) {
  std::vector<std::pair<std::string, std::string>> chain;
  for (int i = 1; i <= n; ++i) {
    chain.emplace_back("A" + std::to_string(i), i == n ? "end" : "A" + std::to_string(i + 1));
  }
  return chain;
}

// Environment values against the buffer and the 4096-byte limit (a value
// longer than the buffer leaves its first bufsize bytes), and options bit 0,
// which follows values as names of further variables up to a 256th value.
TEST(Settings, EnvironmentValues) {
  const std::string v4096(4096, 'x');
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> variables;
    size_t bufsize;
    unsigned options;
    Lookup expected;
  } cases[] = {
      {"exactly bufsize", {{"A1", "0123456789"}}, 10, 0, found("0123456789")},
      {"one byte more", {{"A1", "0123456789"}}, 9, 0, failed(kSlzTooLong, "012345678")},
      {"empty", {{"A1", ""}}, 10, 0, notSet()},
      {"4096 bytes", {{"A1", v4096}}, 8192, 0, found(v4096)},
      {"4097 bytes", {{"A1", v4096 + "y"}}, 8192, 0, failed(kSlzTooLong, v4096 + "y")},
      {"chain", {{"A1", "A2"}, {"A2", "C"}}, 10, 1, found("C")},
      {"chain to a missing name", {{"A1", "A2"}}, 10, 1, found("A2")},
      {"chain to an empty value", {{"A1", "A2"}, {"A2", ""}}, 10, 1, notSet()},
      {"chain's end exactly bufsize",
       {{"A1", "A2"}, {"A2", "0123456789"}},
       10,
       1,
       found("0123456789")},
      {"chain's end one byte more",
       {{"A1", "A2"}, {"A2", "0123456789"}},
       9,
       1,
       failed(kSlzTooLong, "012345678")},
      {"variable naming itself", {{"A1", "A1"}}, 10, 1, failed(kSlzInvalid)},
      {"loop of two", {{"A1", "A2"}, {"A2", "A1"}}, 10, 1, failed(kSlzInvalid)},
      {"255 values", chainOf(255), 10, 1, found("end")},
      {"256 values", chainOf(256), 10, 1, failed(kSlzInvalid)},
      {"without bit 0", {{"A1", "A2"}, {"A2", "C"}}, 10, 0, found("A2")},
      {"other bits only", {{"A1", "A2"}, {"A2", "C"}}, 10, ~1U, found("A2")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    inFreshProcess([&] {
      for (const auto& [name, value] : c.variables) {
        setEnv(name, value);
      }
      EXPECT_EQ(lookup("A1", c.bufsize, c.options), c.expected);
    });
  }
}

constexpr char kSettings[] =
    "# installation settings\n"
    "KVL_ADMIN = /net/admin   # site settings\n"
    "ZANTIX_HOME=/elsewhere\n"
    "logProperty=true\n"
    "DISABLE_VUDOV_FEATURES=yes\n"
    "KVL_ADMIN=/second\n";

unsigned opens() {
  return dorq_test::callCount(dorq_test::Wrapper::Fopen);
}

class SettingsFile : public ::testing::Test {
 protected:
  void writeSettings(const std::string& text) const {
    dorq_test::writeFile(home_ / "env.zan", text);
  }
  dorq_test::TempDir home_;
};

// The environment decides alone for every name it holds, even with an empty
// value; the file is read on the first miss, once, and supplies only its two
// settings (the first line of a name wins), never the home.
TEST_F(SettingsFile, ReadOnceForNamesMissingFromTheEnvironment) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    setEnv("KVL_ADMIN", "/from/env");
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/from/env"));
    setEnv("KVL_ADMIN", "");
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(opens(), 0U);
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    setEnv("KVL_ADMIN", std::nullopt);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("yes"));
    for (const char* name : {"logProperty", "kvl_admin", "KVL_ADMI", "KVL_ADMIN_"}) {
      EXPECT_EQ(lookup(name), notSet()) << name;
    }
    setEnv("DISABLE_VUDOV_FEATURES", "no");
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("no"));
    // Later changes to the file or the home are not seen.
    writeSettings("KVL_ADMIN=/changed\n");
    setEnv("ZANTIX_HOME", std::nullopt);
    EXPECT_EQ(lookup("ZANTIX_HOME"), notSet());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opens(), 1U);
  });
}

// A missing, empty or over-long home is no attempt: the next miss tries
// again. A home of exactly 1024 bytes is usable.
TEST_F(SettingsFile, UnusableHomeIsNoAttempt) {
  writeSettings(kSettings);
  std::string home1024 = home_.path();
  home1024 += std::string(1024 - home1024.size(), '/');
  inFreshProcess([&] {
    for (const auto& home : {std::optional<std::string>(), std::optional<std::string>(""),
                             std::optional<std::string>(home1024 + "/")}) {
      setEnv("ZANTIX_HOME", home);
      EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
      EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    }
    EXPECT_EQ(opens(), 0U);
    setEnv("ZANTIX_HOME", home1024);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opens(), 1U);
  });
}

// A read that gives nothing, the guarded open's refusals included, is never
// repeated: a good file that appears later changes nothing.
TEST_F(SettingsFile, FailedReadIsNotRepeated) {
  const std::string file = home_ / "env.zan";
  const std::string real = home_ / "real.zan";
  dorq_test::writeFile(real, kSettings);
  ASSERT_EQ(mkdir((home_ / "sub").c_str(), 0755), 0);
  const struct {
    const char* what;
    std::function<void()> prepare;
    std::string home;
  } cases[] = {
      {"no file", [] {}, home_.path()},
      {"no accepted line", [&] { writeSettings("# none\nlogProperty=1\nKVL_ADMIN=\n"); },
       home_.path()},
      {"symbolic link", [&] { ASSERT_EQ(symlink(real.c_str(), file.c_str()), 0); }, home_.path()},
      {"second hard link", [&] { ASSERT_EQ(link(real.c_str(), file.c_str()), 0); }, home_.path()},
      {"parent reference", [&] { writeSettings(kSettings); }, home_.path() + "/sub/.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(file.c_str());
    c.prepare();
    inFreshProcess([&] {
      setEnv("ZANTIX_HOME", c.home);
      EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
      EXPECT_EQ(slzgetevarf_parse_attempted, 1U);
      const unsigned opened = opens();
      unlink(file.c_str());
      writeSettings(kSettings);
      EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
      EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), notSet());
      EXPECT_EQ(opens(), opened);
    });
  }
}

// A file's value longer than the buffer is an invalid request that leaves
// the buffer alone. Lines are read in pieces of 1088 characters, each piece
// parsed as a line of its own.
TEST_F(SettingsFile, ValuesAndLongLines) {
  const std::string v1024(1024, 'v');
  writeSettings("#" + std::string(1087, 'c') + "KVL_ADMIN=0123456789\n" +
                "DISABLE_VUDOV_FEATURES=" + v1024 + "\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN", 10), found("0123456789"));
    EXPECT_EQ(lookup("KVL_ADMIN", 9), failed(kSlzInvalid));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES", 1024), found(v1024));
  });
}

// Registered before the lookup, so it runs after the cache's own handler.
void checkCacheReleasedAtExit() {
  const bool released = slzgetevarf_env_head == nullptr;
  const bool noLeaks = dorq_settings_test::noLeaks();
  fprintf(stderr, "cache at exit: released %d, no leaks %d\n", released, noLeaks);
  _exit(released && noLeaks ? 0 : 1);
}

TEST_F(SettingsFile, CacheIsReleasedAtExit) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    ASSERT_EQ(atexit(checkCacheReleasedAtExit), 0);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    if (!::testing::Test::HasFailure()) {
      exit(0);
    }
  });
}

}  // namespace
