// The settings file's line rules, and its one read with every call it makes
// through the replaceable wrappers failed in turn.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "port/ss_wrappers.h"
#include "settings/slzgetevar.h"
#include "tests/settings/settings_test_support.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_settings_test::found;
using dorq_settings_test::inFreshProcess;
using dorq_settings_test::Lookup;
using dorq_settings_test::lookup;
using dorq_settings_test::notSet;
using dorq_test::Wrapper;

// Only the file's two settings, named exactly; blanks around the name and
// value and a trailing comment go, everything else stays in the value.
TEST(SettingsLine, AcceptedAndIgnoredLines) {
  const std::string v1024(1024, 'v');
  const struct {
    std::string line;
    const char* name;  // null: ignored
    std::string value;
  } cases[] = {
      {"  KVL_ADMIN = /net/admin   # site settings\n", "KVL_ADMIN", "/net/admin"},
      {"DISABLE_VUDOV_FEATURES=TRUE", "DISABLE_VUDOV_FEATURES", "TRUE"},
      {"\v\f\tKVL_ADMIN\t=\t/x\t\r\n", "KVL_ADMIN", "/x"},
      {"KVL_ADMIN=/x#comment", "KVL_ADMIN", "/x"},
      {"KVL_ADMIN==a=b", "KVL_ADMIN", "=a=b"},
      {"KVL_ADMIN='$HOME/a  \"b\\\n", "KVL_ADMIN", "'$HOME/a  \"b\\"},
      {"KVL_ADMIN=" + v1024 + "#c", "KVL_ADMIN", v1024},
      {"KVL_ADMIN" + std::string(60, ' ') + "=1", "KVL_ADMIN", "1"},
      {"", nullptr, ""},
      {"  \t \r\n", nullptr, ""},
      {"   # KVL_ADMIN=/x\n", nullptr, ""},
      {"KVL_ADMIN /x\n", nullptr, ""},
      {" = /x\n", nullptr, ""},
      {"kvl_admin=/x", nullptr, ""},
      {"KVL_ADMI=/x", nullptr, ""},
      {"KVL_ADMIN_X=/x", nullptr, ""},
      {"logProperty=true", nullptr, ""},
      {"ZANTIX_HOME=/elsewhere", nullptr, ""},
      {std::string(55, 'N') + "KVL_ADMIN=x", nullptr, ""},
      {"KVL_ADMIN=   \t\r\n", nullptr, ""},
      {"KVL_ADMIN=   # nothing\n", nullptr, ""},
      {"KVL_ADMIN=" + v1024 + "x", nullptr, ""},
      // The length counts before trailing blanks are removed.
      {"KVL_ADMIN=" + v1024 + " \n", nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    char* name = nullptr;
    char* value = nullptr;
    const int result = slzgetevarf_parseline(c.line.c_str(), &name, &value);
    EXPECT_EQ(result, c.name == nullptr ? -1 : 0);
    EXPECT_EQ(name == nullptr ? "" : std::string(name), c.name == nullptr ? "" : c.name);
    EXPECT_EQ(value == nullptr ? "" : std::string(value), c.value);
    ssMemFree(name);
    ssMemFree(value);
  }
  // No memory for the name or for the value: -2, nothing handed out.
  for (unsigned k : {1U, 2U}) {
    dorq_test::armFault(Wrapper::Malloc, k, ENOMEM);
    char* name = nullptr;
    char* value = nullptr;
    EXPECT_EQ(slzgetevarf_parseline("KVL_ADMIN=/x", &name, &value), -2);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(value, nullptr);
  }
  dorq_test::resetFaults();
}

// Descriptors open in this process (the listing's own excluded).
int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) {
    ++count;
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  return count;
}

struct Answers {
  Lookup admin;
  Lookup features;
  bool operator==(const Answers&) const = default;
};

// The answers once call k of `which` failed (none for k = 0) during the read. The read
// allocates the handle of the open file, then for each accepted line the
// copies of its name and value and its entry; it opens the file once and
// closes it once, and calls nothing else.
Answers expectedAnswers(Wrapper which, unsigned k) {
  Answers all{found("/net/admin"), found("yes")};
  Answers nothing{notSet(), notSet()};
  if (k == 0) {
    return all;
  }
  if (which == Wrapper::Fopen || (which == Wrapper::Malloc && k == 1)) {
    return nothing;  // the file cannot be opened, like a missing file
  }
  if (which != Wrapper::Malloc) {
    return all;  // a failed close changes nothing
  }
  if ((k - 2) % 3 == 2) {
    return nothing;  // no entry: the list read so far is not published
  }
  // No copy of the name or the value: that line alone is skipped.
  return (k - 2) / 3 == 0 ? Answers{notSet(), all.features} : Answers{all.admin, notSet()};
}

unsigned documentedCalls(Wrapper which) {
  constexpr unsigned kAcceptedLines = 2;
  switch (which) {
    case Wrapper::Malloc:
      return 1 + 3 * kAcceptedLines;
    case Wrapper::Fopen:
    case Wrapper::Fclose:
      return 1;
    default:
      return 0;
  }
}

// Each failure gives the promised answers for the rest of the process, closes
// the file, leaks nothing (checked as the child ends) and is never followed
// by a second read. k = 0 is the clean read, which makes exactly the
// documented calls.
TEST(SettingsRead, EveryWrapperCallFailsInTurn) {
  const dorq_test::TempDir home;
  dorq_test::writeFile(home / "env.zan",
                       "# settings\nKVL_ADMIN=/net/admin\nlogProperty=true\n"
                       "DISABLE_VUDOV_FEATURES=yes\n");
  for (const dorq_test::WrapperCase& w : dorq_test::kWrappers) {
    for (unsigned k = 0; k <= documentedCalls(w.wrapper); ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      inFreshProcess([&] {
        const int descriptors = openDescriptors();
        dorq_settings_test::setEnv("ZANTIX_HOME", home.path());
        dorq_test::armFault(w.wrapper, k, w.error);
        EXPECT_EQ(lookup("logProperty"), notSet());
        if (k == 0) {
          EXPECT_EQ(dorq_test::callCount(w.wrapper), documentedCalls(w.wrapper));
        }
        for (int i = 0; i < 2; ++i) {
          EXPECT_EQ((Answers{lookup("KVL_ADMIN"), lookup("DISABLE_VUDOV_FEATURES")}),
                    expectedAnswers(w.wrapper, k));
        }
        EXPECT_EQ(openDescriptors(), descriptors) << "the settings file stayed open";
        EXPECT_EQ(dorq_test::callCount(Wrapper::Fopen), 1U);
      });
    }
  }
}

}  // namespace
