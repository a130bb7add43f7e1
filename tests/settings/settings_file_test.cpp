// The settings file: read once per process through the guarded open, cached,
// and consulted only for names missing from the environment. Every case runs
// in a process of its own (see inFreshProcess).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
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
using dorq_settings_test::lookup;
using dorq_settings_test::notSet;
using dorq_settings_test::setEnv;
using dorq_test::callCount;
using dorq_test::Wrapper;

constexpr char kSettings[] =
    "# installation settings\n"
    "KVL_ADMIN = /net/admin   # site settings\n"
    "ZANTIX_HOME=/elsewhere\n"
    "logProperty=true\n"
    "DISABLE_VUDOV_FEATURES=yes\n"
    "KVL_ADMIN=/second\n";

unsigned opens() {
  return callCount(Wrapper::Fopen);
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test process itself never reads the file, so each child starts fresh.
    ASSERT_EQ(slzgetevarf_env_head, nullptr);
    ASSERT_EQ(slzgetevarf_parse_attempted, 0U);
  }
  std::string settingsPath() const { return home_ / "env.zan"; }
  void writeSettings(const std::string& text) const { dorq_test::writeFile(settingsPath(), text); }

  dorq_test::TempDir home_;
};

TEST_F(SettingsFile, EnvironmentComesFirst) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    setEnv("KVL_ADMIN", "/from/env");
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/from/env"));
    // An empty value is not set and still hides the file.
    setEnv("KVL_ADMIN", "");
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(opens(), 0U);
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    setEnv("KVL_ADMIN", std::nullopt);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opens(), 1U);
    // Once cached, the environment still comes first.
    setEnv("DISABLE_VUDOV_FEATURES", "no");
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("no"));
  });
}

// The file supplies only its two settings; the first line of a name wins.
TEST_F(SettingsFile, SuppliesOnlyItsTwoSettings) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("yes"));
    EXPECT_EQ(lookup("logProperty"), notSet());
    EXPECT_EQ(lookup("kvl_admin"), notSet());
    EXPECT_EQ(lookup("KVL_ADMI"), notSet());
    EXPECT_EQ(lookup("KVL_ADMIN_"), notSet());
    EXPECT_EQ(opens(), 1U);
  });
}

// ZANTIX_HOME comes from the environment only: without it the file is never
// opened, and a cached file does not supply it either.
TEST_F(SettingsFile, HomeOnlyFromTheEnvironment) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    EXPECT_EQ(lookup("ZANTIX_HOME"), notSet());
    EXPECT_EQ(opens(), 0U);
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    setEnv("ZANTIX_HOME", std::nullopt);
    EXPECT_EQ(lookup("ZANTIX_HOME"), notSet());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opens(), 1U);
  });
}

// The file is opened once per process, however many lookups miss the
// environment; later changes to the file or the home are not seen.
TEST_F(SettingsFile, ReadOncePerProcess) {
  writeSettings(kSettings);
  dorq_test::TempDir other;
  dorq_test::writeFile(other / "env.zan", "KVL_ADMIN=/other\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
      EXPECT_EQ(lookup("logFilePath"), notSet());
    }
    writeSettings("KVL_ADMIN=/changed\n");
    setEnv("ZANTIX_HOME", other.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("yes"));
    EXPECT_EQ(opens(), 1U);
  });
}

TEST_F(SettingsFile, FileCreatedAfterTheFirstMissChangesNothing) {
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(slzgetevarf_parse_attempted, 1U);
    writeSettings(kSettings);
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), notSet());
    EXPECT_EQ(opens(), 1U);
  });
}

TEST_F(SettingsFile, FailedFirstOpenIsNotRetried) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    dorq_test::armFault(Wrapper::Fopen, 1, EACCES);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    }
    EXPECT_EQ(opens(), 1U);
    EXPECT_EQ(slzgetevarf_env_head, nullptr);
  });
}

TEST_F(SettingsFile, FileWithoutAcceptedLinesIsNotReread) {
  writeSettings("# nothing here\nlogProperty=true\nKVL_ADMIN=\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    writeSettings(kSettings);
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(opens(), 1U);
  });
}

// A missing, empty or over-long home is no attempt: the next miss tries again.
TEST_F(SettingsFile, HomeSetAfterTheFirstMissIsUsedLater) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    const std::optional<std::string> unusable[] = {std::nullopt, "", "/" + std::string(1024, 'h')};
    for (const auto& home : unusable) {
      setEnv("ZANTIX_HOME", home);
      EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
      EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    }
    EXPECT_EQ(opens(), 0U);
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opens(), 1U);
  });
}

// A home of exactly 1024 bytes is still usable (the path then ends "/env.zan").
TEST_F(SettingsFile, HomeOf1024BytesIsUsable) {
  writeSettings(kSettings);
  std::string longHome = home_.path();
  longHome += std::string(1024 - longHome.size(), '/');
  inFreshProcess([&] {
    std::string opened;
    dorq_test::setFopenHook([&](const char* path) { opened = path; });
    setEnv("ZANTIX_HOME", longHome);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(opened, longHome + "env.zan");
  });
}

TEST_F(SettingsFile, HomeWithAndWithoutTrailingSlash) {
  writeSettings(kSettings);
  for (const std::string& home : {home_.path(), home_.path() + "/"}) {
    SCOPED_TRACE(home);
    inFreshProcess([&] {
      std::vector<std::string> opened;
      dorq_test::setFopenHook([&](const char* path) { opened.emplace_back(path); });
      setEnv("ZANTIX_HOME", home);
      EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
      EXPECT_EQ(opened, std::vector<std::string>{settingsPath()});
    });
  }
}

// A settings file refused by the guarded open is never opened, and every
// lookup that misses the environment reports not set.
TEST_F(SettingsFile, RefusedSettingsFile) {
  const std::string real = home_ / "real.zan";
  dorq_test::writeFile(real, kSettings);
  ASSERT_EQ(mkdir((home_ / "sub").c_str(), 0755), 0);
  struct Refusal {
    const char* what;
    std::function<void()> prepare;
    std::string zantixHome;
  };
  const Refusal refusals[] = {
      {"symbolic link", [&] { ASSERT_EQ(symlink(real.c_str(), settingsPath().c_str()), 0); },
       home_.path()},
      {"second hard link", [&] { ASSERT_EQ(link(real.c_str(), settingsPath().c_str()), 0); },
       home_.path()},
      {"parent reference in the home", [&] { writeSettings(kSettings); }, home_.path() + "/sub/.."},
      {"parent reference inside the home", [&] { writeSettings(kSettings); },
       home_.path() + "/sub/../"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    unlink(settingsPath().c_str());
    r.prepare();
    inFreshProcess([&] {
      setEnv("ZANTIX_HOME", r.zantixHome);
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
        EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), notSet());
      }
      EXPECT_EQ(opens(), 0U);
      EXPECT_EQ(slzgetevarf_parse_attempted, 1U);
    });
  }
}

TEST_F(SettingsFile, ValueLongerThanTheBufferIsAnInvalidRequest) {
  writeSettings("KVL_ADMIN=0123456789\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN", 10), found("0123456789"));
    char buf[12];
    memset(buf, '@', sizeof buf);
    uint32_t error = 0;
    EXPECT_EQ(slzgetevar(&error, "KVL_ADMIN", 9, buf, 9, 0), -2);
    EXPECT_EQ(error, kSlzInvalid);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '@'));
    // The value is written without a terminator.
    EXPECT_EQ(slzgetevar(&error, "KVL_ADMIN", 9, buf, 11, 0), 10);
    EXPECT_EQ(std::string(buf, sizeof buf), "0123456789@@");
  });
}

TEST_F(SettingsFile, LongestValueIsServed) {
  const std::string v1024(1024, 'v');
  writeSettings("KVL_ADMIN=" + v1024 + "\nDISABLE_VUDOV_FEATURES=" + v1024 + "x\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN", 1024), found(v1024));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES", 2048), notSet());
  });
}

// A physical line is read in pieces of at most 1088 characters, and each
// piece is parsed as a line of its own.
TEST_F(SettingsFile, LongLinesAreReadInPiecesOf1088) {
  const std::string comment1088 = "#" + std::string(1087, 'c');
  const std::string comment1087 = "#" + std::string(1086, 'c');
  const std::string blanks100(100, ' ');
  writeSettings(comment1088 + "KVL_ADMIN=/from-second-piece\n" +       //
                comment1087 + "DISABLE_VUDOV_FEATURES=/swallowed\n" +  //
                blanks100 + "DISABLE_VUDOV_FEATURES=" + std::string(1000, 'v') + "tail\n");
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/from-second-piece"));
    // The piece after 1087 characters begins "ISABLE_...", which is ignored.
    // The last line's first piece ends after 965 characters of its value;
    // the rest is a piece without "=".
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found(std::string(965, 'v')));
  });
}

// Cleanup releases every entry (the sanitizer build proves that nothing is
// left behind) and leaves the cache empty.
TEST_F(SettingsFile, CleanupReleasesTheCache) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    ASSERT_NE(slzgetevarf_env_head, nullptr);
    slzgetevarf_cleanup();
    EXPECT_EQ(slzgetevarf_env_head, nullptr);
    EXPECT_TRUE(dorq_settings_test::noLeaks());
    // A second call finds nothing; later misses report not set.
    slzgetevarf_cleanup();
    EXPECT_EQ(lookup("KVL_ADMIN"), notSet());
    EXPECT_EQ(opens(), 1U);
  });
}

// Registered before the lookup, so it runs after the cache's own handler.
void checkCacheReleasedAtExit() {
  const bool released = slzgetevarf_env_head == nullptr;
  const bool noLeaks = dorq_settings_test::noLeaks();
  if (!released || !noLeaks) {
    fprintf(stderr, "cache at exit: released %d, no leaks %d\n", released, noLeaks);
  }
  _exit(released && noLeaks ? 0 : 1);
}

TEST_F(SettingsFile, CacheIsReleasedAtExit) {
  writeSettings(kSettings);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    ASSERT_EQ(atexit(checkCacheReleasedAtExit), 0);
    if (lookup("KVL_ADMIN").result == 10) {
      exit(0);
    }
    ADD_FAILURE() << "KVL_ADMIN was not read";
  });
}

// With two accepted lines, allocation number `fail` of the first lookup fails.
void lookupsWithFailedAllocation(const std::string& home, unsigned fail,
                                 dorq_settings_test::Lookup admin,
                                 dorq_settings_test::Lookup features) {
  setEnv("ZANTIX_HOME", home);
  dorq_test::armFault(Wrapper::Malloc, fail, ENOMEM);
  EXPECT_EQ(lookup("KVL_ADMIN"), admin);
  EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), features);
  EXPECT_EQ(lookup("KVL_ADMIN"), admin);
  EXPECT_EQ(opens(), 1U);
}

// No entry: nothing is published and nothing is leaked. No memory while
// parsing a line: that line is skipped.
TEST_F(SettingsFile, AllocationFailures) {
  writeSettings("KVL_ADMIN=/a\nDISABLE_VUDOV_FEATURES=yes\n");
  // The last allocation of the read is the second entry, after the name and
  // value of its line; three before it is the first entry.
  const std::optional<unsigned> counted = dorq_settings_test::valueFromFreshProcess([&] {
    setEnv("ZANTIX_HOME", home_.path());
    (void)lookup("KVL_ADMIN");
    return callCount(Wrapper::Malloc);
  });
  ASSERT_TRUE(counted.has_value());
  const unsigned total = *counted;
  ASSERT_GE(total, 6U);
  const std::string home = home_.path();
  SCOPED_TRACE(total);
  inFreshProcess([&] { lookupsWithFailedAllocation(home, total, notSet(), notSet()); });
  inFreshProcess([&] { lookupsWithFailedAllocation(home, total - 3, notSet(), notSet()); });
  inFreshProcess([&] { lookupsWithFailedAllocation(home, total - 1, found("/a"), notSet()); });
  inFreshProcess([&] { lookupsWithFailedAllocation(home, total - 5, notSet(), found("yes")); });
  inFreshProcess([&] { lookupsWithFailedAllocation(home, total - 4, notSet(), found("yes")); });
}

}  // namespace
