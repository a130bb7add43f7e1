// The settings lookup, the settings file's one read per process with every
// wrapper call failed in turn, then the file-location layer. The cache is
// once-per-process state, so every lookup runs in a forked child and this
// process keeps it empty. The file's line rules are checked by the fuzz
// targets settings_line and settings_file.
#include <sys/wait.h>

#include <functional>
#include <tuple>
#include <vector>

#include "settings/lfv.h"
#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

void setEnv(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

// Runs body in a child with the fault injector reset and ZANTIX_HOME and the
// file's settings unset; the child fails on a failed expectation or a leak.
void inFreshProcess(const std::function<void()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0) << "fork failed";
  if (pid == 0) {
    resetFaults();
    for (const char* name : {"ZANTIX_HOME", "KVL_ADMIN", "DISABLE_VUDOV_FEATURES"}) {
      unsetenv(name);
    }
    body();
    fflush(nullptr);
    _exit(::testing::Test::HasFailure() || leaked() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed: " << status;
}

// A lookup's result, error number and the bytes it wrote into its buffer.
using Lookup = std::tuple<int, unsigned, std::string>;
const Lookup kNotSet{kSlzResultNotSet, kSlzNotSet, ""};
const auto found = [](const std::string& v) { return Lookup{int(v.size()), kSlzOk, v}; };
const auto failed = [](unsigned error, const std::string& written = "") {
  return Lookup{kSlzResultError, error, written};
};

// Calls slzgetevar with a buffer of bufsize bytes and one more, all '@'
// until written, so that a write past bufsize (a terminator, say) shows.
Lookup call(const char* name, uint64_t namelen, bool withBuffer, size_t bufsize,
            uint32_t options = 0) {
  std::vector<char> buf(bufsize + 1, '@');
  uint32_t error = 0xFFFFFFFF;
  const int32_t result =
      slzgetevar(&error, name, namelen, withBuffer ? buf.data() : nullptr, bufsize, options);
  const std::string all(buf.data(), buf.size());
  return Lookup{result, error, all.substr(0, all.find('@'))};
}
Lookup lookup(const std::string& name, size_t bufsize = 1024, uint32_t options = 0) {
  return call(name.c_str(), name.size(), true, bufsize, options);
}

// Refused requests give -2 with their error number and leave the buffer
// alone; only the first namelen bytes of a name count, up to a NUL. With no
// ZANTIX_HOME, no lookup touches the settings file or its cache.
TEST(Settings, Requests) {
  unsetenv("ZANTIX_HOME");
  setEnv("DQ_VAL", "value");
  const std::string name63(63, 'N');
  const std::string name64(64, 'N');
  setEnv(name63, "value");
  const Lookup invalid = failed(kSlzInvalid);
  // clang-format off
  const struct { const char* name; uint64_t namelen; bool withBuffer; uint64_t bufsize;
                 Lookup expected; } requests[] = {
      {nullptr, 4, true, 16, invalid}, {"DQ_VAL", 0, true, 16, invalid},
      {"\0DQ_VAL", 7, true, 16, invalid}, {"DQ_VAL", 6, false, 16, invalid},
      {"DQ_VAL", 6, true, 0, invalid}, {name63.c_str(), 63, true, 16, found("value")},
      {"DQ_VAL", 64, true, 16, failed(kSlzTooLong)},
      {name64.c_str(), 64, false, 16, invalid},  // the buffer is checked first
      {"DQ_VALjunk", 6, true, 16, found("value")}, {"DQ_VAL\0junk", 11, true, 16, found("value")}};
  // clang-format on
  for (const auto& r : requests) {
    EXPECT_EQ(call(r.name, r.namelen, r.withBuffer, r.bufsize), r.expected) << &r - requests;
  }
  EXPECT_EQ(slzgetevar(nullptr, "DQ_VAL", 6, nullptr, 0, 0), kSlzResultError);
}

// Values against the buffer and the 4096-byte limit: a value longer than the
// buffer leaves its first bufsize bytes. Options bit 0 follows values as
// names of further variables, and the 256th value in a chain is refused, so
// a loop ends; other option bits change nothing.
TEST(Settings, EnvironmentValues) {
  unsetenv("ZANTIX_HOME");
  using Vars = std::vector<std::pair<std::string, std::string>>;
  const auto chainOf = [](int n) {
    Vars chain;
    for (int i = 1; i <= n; ++i) {
      chain.emplace_back("A" + std::to_string(i), i == n ? "end" : "A" + std::to_string(i + 1));
    }
    return chain;
  };
  const std::string v4096(4096, 'x');
  const auto tooLong = [](const std::string& written) { return failed(kSlzTooLong, written); };
  // clang-format off
  const std::tuple<Vars, size_t, uint32_t, Lookup> cases[] = {
      {{{"A1", "abcde"}}, 5, 0, found("abcde")}, {{{"A1", "abcde"}}, 4, 0, tooLong("abcd")},
      {{{"A1", ""}}, 5, 0, kNotSet}, {{{"A1", v4096}}, 8192, 0, found(v4096)},
      {{{"A1", v4096 + "y"}}, 8192, 0, tooLong(v4096 + "y")},
      {{{"A1", "A2"}, {"A2", "abcde"}}, 4, 1, tooLong("abcd")},
      {{{"A1", "A2"}, {"A2", "abcde"}}, 5, ~1U, found("A2")}, {{{"A1", "A2"}}, 5, 1, found("A2")},
      {{{"A1", "A2"}, {"A2", ""}}, 5, 1, kNotSet}, {{{"A1", "A1"}}, 5, 1, failed(kSlzInvalid)},
      {{{"A1", "A2"}, {"A2", "A1"}}, 5, 1, failed(kSlzInvalid)},
      {chainOf(255), 5, 1, found("end")}, {chainOf(256), 5, 1, failed(kSlzInvalid)}};
  // clang-format on
  for (const auto& [vars, bufsize, options, expected] : cases) {
    for (const auto& [name, value] : vars) {
      setEnv(name, value);
    }
    EXPECT_EQ(lookup("A1", bufsize, options), expected) << vars.size() << " variables";
    for (const auto& var : vars) {
      unsetenv(var.first.c_str());
    }
  }
}

using Answers = std::pair<Lookup, Lookup>;  // KVL_ADMIN, DISABLE_VUDOV_FEATURES

// The read allocates the file's handle, then for each of the two accepted lines
// copies of name and value and an entry; it opens and closes the file once.
unsigned documentedCalls(Wrapper which) {
  return which == Wrapper::Malloc
             ? 1 + 3 * 2
             : which == Wrapper::Open || which == Wrapper::Fdopen || which == Wrapper::Fclose;
}

// The answers once call k of `which` failed (none for k = 0).
Answers expectedAnswers(Wrapper which, unsigned k) {
  // A failed close changes nothing; a failed open or handle is a missing
  // file; a failed entry publishes nothing read so far; a failed copy of the
  // name or the value skips that line alone.
  const Lookup admin = found("/net/admin");
  const Lookup disable = found("yes");
  if (k == 0 || which == Wrapper::Fclose) {
    return {admin, disable};
  }
  if (which == Wrapper::Open || which == Wrapper::Fdopen || k == 1 || (k - 2) % 3 == 2) {
    return {kNotSet, kNotSet};
  }
  return (k - 2) / 3 == 0 ? Answers{kNotSet, disable} : Answers{admin, kNotSet};
}

// Each failure gives the promised answers for the rest of the process, closes
// what it opened, leaks nothing and is never followed by a second read.
TEST(SettingsRead, EveryWrapperCallFailsInTurn) {
  const TempDir home;
  writeFile(home / "env.zan",
            "# settings\nKVL_ADMIN=/net/admin\nlogProperty=true\n"
            "DISABLE_VUDOV_FEATURES=yes\n");
  for (const WrapperCase& w : kWrappers) {
    for (unsigned k = 0; k <= documentedCalls(w.wrapper); ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      inFreshProcess([&] {
        setEnv("ZANTIX_HOME", home.path());
        armFault(w.wrapper, k, w.error);
        EXPECT_EQ(lookup("logProperty"), kNotSet);
        if (k == 0) {
          EXPECT_EQ(callCount(w.wrapper), documentedCalls(w.wrapper));
        }
        for (int i = 0; i < 2; ++i) {
          EXPECT_EQ((Answers{lookup("KVL_ADMIN"), lookup("DISABLE_VUDOV_FEATURES")}),
                    expectedAnswers(w.wrapper, k));
        }
        EXPECT_EQ(callCount(Wrapper::Open), 1U);
        const bool noStream =
            (w.wrapper == Wrapper::Open || w.wrapper == Wrapper::Fdopen) && k != 0;
        EXPECT_EQ(callCount(Wrapper::Fclose), noStream ? 0U : 1U);
      });
    }
  }
}

// The file's KVL_ADMIN value is exactly 10 bytes; its DISABLE_VUDOV_FEATURES
// line is the second piece of a line longer than the 1088 characters that are
// read at a time, each piece parsed as a line of its own.
const std::string kSettings =
    "# installation settings\n"
    "KVL_ADMIN = /net/admin   # site settings\n"
    "ZANTIX_HOME=/elsewhere\nlogProperty=true\n#" +
    std::string(1087, 'c') + "DISABLE_VUDOV_FEATURES=yes\n" + "KVL_ADMIN=/second\n";

// The environment decides alone for every name it holds, even with an empty
// value. A missing, empty or over-long home is no attempt; with one of exactly
// 1024 bytes the file is read on the first miss, once, and supplies only its
// two settings (the first line of a name wins).
TEST(SettingsFile, ReadOnceForNamesMissingFromTheEnvironment) {
  const TempDir home;
  writeFile(home / "env.zan", kSettings);
  std::string home1024 = home.path();
  home1024 += std::string(1024 - home1024.size(), '/');
  inFreshProcess([&] {
    setEnv("KVL_ADMIN", "/from/env");
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/from/env"));
    setEnv("KVL_ADMIN", "");
    EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    unsetenv("KVL_ADMIN");
    EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    for (const std::string& unusable : {std::string(), home1024 + "/"}) {
      setEnv("ZANTIX_HOME", unusable);
      EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    }
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    EXPECT_EQ(callCount(Wrapper::Open), 0U);
    setEnv("ZANTIX_HOME", home1024);
    EXPECT_EQ(lookup("KVL_ADMIN", 10), found("/net/admin"));
    EXPECT_EQ(lookup("KVL_ADMIN", 9), failed(kSlzInvalid));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("yes"));
    EXPECT_EQ(lookup("logProperty"), kNotSet);
    setEnv("DISABLE_VUDOV_FEATURES", "no");
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("no"));
    // Later changes to the file or the home are not seen.
    writeFile(home / "env.zan", "KVL_ADMIN=/changed\n");
    unsetenv("ZANTIX_HOME");
    EXPECT_EQ(lookup("ZANTIX_HOME"), kNotSet);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(callCount(Wrapper::Open), 1U);
  });
}

// The file is read through the guarded open, which refuses a link: the read
// gives nothing and is never repeated.
TEST(SettingsFile, LinkIsRefused) {
  const TempDir home;
  writeFile(home / "real.zan", kSettings);
  ASSERT_EQ(symlink("real.zan", (home / "env.zan").c_str()), 0);
  inFreshProcess([&] {
    setEnv("ZANTIX_HOME", home.path());
    EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    EXPECT_EQ(slzgetevarf_parse_attempted, 1U);
    const unsigned opened = callCount(Wrapper::Open);
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), kNotSet);
    EXPECT_EQ(callCount(Wrapper::Open), opened);
  });
}

// The file-location layer stays inert: its context is never initialised, so
// it serves no path, and an open finds nothing and leaves the record alone.
TEST(FileLocation, InertContextServesNoPath) {
  for (const int option : {0, 1}) {
    slosErrRec record{};
    record.code = 0x5A5A5A5A;
    EXPECT_EQ(lfvtyp("/srv/inst/rdbms/x", 0, option), kLfvTypeNoEntry);
    EXPECT_EQ(lfvIsVfsMode("/srv/inst/rdbms/x", 0, option), 0);
    EXPECT_EQ(lfvopen("/srv/inst/rdbms/x", &record, option), nullptr);
    EXPECT_EQ(record.code, 0x5A5A5A5A);
  }
}

}  // namespace
}  // namespace dorq_test
