// Every call that one whole read of the settings file makes through the
// replaceable wrappers, failed in turn: first the calls of a clean read are
// counted, then call k of each wrapper fails for every k. Each failure must
// give the answers the lookup promises for it, close the file, leak nothing
// and never lead to a second read. The cache is read once per process, so
// every run is a forked process of its own (see inFreshProcess), whose leak
// check runs before it exits.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <iterator>
#include <string>

#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"
#include "tests/settings/settings_test_support.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_settings_test::found;
using dorq_settings_test::inFreshProcess;
using dorq_settings_test::Lookup;
using dorq_settings_test::lookup;
using dorq_settings_test::notSet;
using dorq_settings_test::setEnv;
using dorq_test::callCount;
using dorq_test::Wrapper;

// Two accepted lines, a comment and a line for a name the file never supplies.
constexpr char kSettings[] =
    "# installation settings\n"
    "KVL_ADMIN=/net/admin\n"
    "logProperty=true\n"
    "DISABLE_VUDOV_FEATURES=yes\n";
constexpr char kAdmin[] = "/net/admin";
constexpr char kFeatures[] = "yes";

using dorq_test::kWrappers;
using dorq_test::WrapperCase;

// What the two settings of the file look up as.
struct Answers {
  Lookup admin;
  Lookup features;
};

Answers answersNow() {
  return Answers{lookup("KVL_ADMIN"), lookup("DISABLE_VUDOV_FEATURES")};
}

// The answers once call k of `which` failed during the read. The read
// allocates through ssMemMalloc the handle of the open file, then for each
// accepted line the copy of its name, the copy of its value and its entry;
// it opens the file once and closes it once, and calls nothing else.
Answers expectedAnswers(Wrapper which, unsigned k) {
  const Answers nothing{notSet(), notSet()};
  if (which == Wrapper::Fopen) {
    return nothing;  // the file cannot be opened: not set, like a missing file
  }
  if (which != Wrapper::Malloc) {
    return Answers{found(kAdmin), found(kFeatures)};  // a failed close changes nothing
  }
  if (k == 1) {
    return nothing;  // no handle: the open fails
  }
  const unsigned line = (k - 2) / 3;
  const unsigned step = (k - 2) % 3;
  if (step == 2) {
    return nothing;  // no entry: the list read so far is not published
  }
  // No copy of the name or the value: that line alone is skipped.
  return line == 0 ? Answers{notSet(), found(kFeatures)} : Answers{found(kAdmin), notSet()};
}

// The calls a clean read makes: the handle and three allocations per
// accepted line, one open and one close; the other wrappers are not used.
unsigned documentedCalls(Wrapper which, unsigned acceptedLines) {
  switch (which) {
    case Wrapper::Malloc:
      return 1 + 3 * acceptedLines;
    case Wrapper::Fopen:
    case Wrapper::Fclose:
      return 1;
    default:
      return 0;
  }
}

// Descriptors open in this process (the listing's own excluded).
int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count - 1;
}

class SettingsFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test process itself never reads the file, so each child starts fresh.
    ASSERT_EQ(slzgetevarf_env_head, nullptr);
    ASSERT_EQ(slzgetevarf_parse_attempted, 0U);
    dorq_test::writeFile(home_ / "env.zan", kSettings);
  }

  // The driver's first lookup, which misses the environment and so reads
  // the settings file, then the file's two settings.
  Answers readSettings() const {
    setEnv("ZANTIX_HOME", home_.path());
    EXPECT_EQ(lookup("logProperty"), notSet());
    return answersNow();
  }

  // The calls of each wrapper (in the order of kWrappers) in a clean read,
  // counted in one process of its own.
  std::array<unsigned, std::size(kWrappers)> cleanCalls() const {
    std::array<unsigned, std::size(kWrappers)> calls{};
    int fds[2];
    if (pipe(fds) != 0) {
      ADD_FAILURE() << "pipe failed";
      return calls;
    }
    inFreshProcess([&] {
      close(fds[0]);
      const Answers answers = readSettings();
      EXPECT_EQ(answers.admin, found(kAdmin));
      EXPECT_EQ(answers.features, found(kFeatures));
      for (size_t i = 0; i < calls.size(); ++i) {
        calls[i] = callCount(kWrappers[i].wrapper);
      }
      EXPECT_EQ(write(fds[1], calls.data(), sizeof calls), static_cast<ssize_t>(sizeof calls));
    });
    close(fds[1]);
    EXPECT_EQ(read(fds[0], calls.data(), sizeof calls), static_cast<ssize_t>(sizeof calls));
    close(fds[0]);
    return calls;
  }

  dorq_test::TempDir home_;
};

TEST_F(SettingsFaults, EveryWrapperCallOfTheReadFailsInTurn) {
  constexpr unsigned kAcceptedLines = 2;
  const auto counted = cleanCalls();
  for (size_t i = 0; i < std::size(kWrappers); ++i) {
    const WrapperCase& w = kWrappers[i];
    const unsigned calls = counted[i];
    const unsigned documented = documentedCalls(w.wrapper, kAcceptedLines);
    EXPECT_EQ(calls, documented) << w.name;
    for (unsigned k = 1; k <= calls; ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k) + " of " +
                   std::to_string(calls));
      const Answers expected = expectedAnswers(w.wrapper, k);
      inFreshProcess([&] {
        const int descriptors = openDescriptors();
        dorq_test::armFault(w.wrapper, k, w.error);
        const Answers answers = readSettings();
        EXPECT_EQ(answers.admin, expected.admin);
        EXPECT_EQ(answers.features, expected.features);
        EXPECT_EQ(openDescriptors(), descriptors) << "the settings file stayed open";
        EXPECT_EQ(slzgetevarf_parse_attempted, 1U);
        // The outcome holds for the rest of the process: nothing is read again.
        const Answers later = answersNow();
        EXPECT_EQ(later.admin, expected.admin);
        EXPECT_EQ(later.features, expected.features);
        EXPECT_EQ(callCount(Wrapper::Fopen), 1U);
      });
    }
  }
}

}  // namespace
