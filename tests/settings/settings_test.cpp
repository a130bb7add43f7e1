// The settings lookup and the settings file's one read per process (each in a forked child); the
// line rules are the fuzz targets' (settings_line, settings_file).
#include <sys/wait.h>

#include <functional>
#include <map>
#include <tuple>
#include <vector>

#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

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
  EXPECT_EQ(status, 0) << "the child failed";
}

// A lookup's result, error number and the bytes it wrote into its buffer.
using Lookup = std::tuple<int, unsigned, std::string>;
const Lookup kNotSet{kSlzResultNotSet, kSlzNotSet, ""};
const auto found = [](const std::string& v) { return Lookup{int(v.size()), kSlzOk, v}; };
const auto failed = [](unsigned e, const std::string& w = "") {
  return Lookup{kSlzResultError, e, w};
};

// The buffer has a byte more than bufsize, all '@' until written, so a write past bufsize shows.
Lookup call(const char* name, uint64_t len, bool withBuffer, size_t bufsize, uint32_t options) {
  std::string buf(bufsize + 1, '@');
  uint32_t error = 0xFFFFFFFF;
  const int32_t result =
      slzgetevar(&error, name, len, withBuffer ? buf.data() : nullptr, bufsize, options);
  return Lookup{result, error, buf.substr(0, buf.find('@'))};
}
Lookup lookup(const std::string& name, size_t bufsize = 1024, uint32_t options = 0) {
  return call(name.c_str(), name.size(), true, bufsize, options);
}

// Only the first namelen bytes of a name count, up to a NUL. With no ZANTIX_HOME, no lookup
// touches the settings file or its cache.
TEST(Settings, Requests) {
  unsetenv("ZANTIX_HOME");
  setenv("DQ_VAL", "value", 1);
  const std::string name63(63, 'N'), name64(64, 'N');
  setenv(name63.c_str(), "value", 1);
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
    EXPECT_EQ(call(r.name, r.namelen, r.withBuffer, r.bufsize, 0), r.expected) << &r - requests;
  }
  EXPECT_EQ(slzgetevar(nullptr, "DQ_VAL", 6, nullptr, 0, 0), kSlzResultError);
}

// Options bit 0 follows values as names of further variables, the 256th in a chain refused so
// a loop ends; other option bits change nothing.
TEST(Settings, EnvironmentValues) {
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
  const struct { Vars vars; size_t bufsize; uint32_t options; Lookup want; } cases[] = {
      {{{"A1", "abcde"}}, 5, 0, found("abcde")}, {{{"A1", "abcde"}}, 4, 0, tooLong("abcd")},
      {{{"A1", ""}}, 5, 0, kNotSet}, {{{"A1", v4096}}, 8192, 0, found(v4096)},
      {{{"A1", v4096 + "y"}}, 8192, 0, tooLong(v4096 + "y")},
      {{{"A1", "A2"}, {"A2", "abcde"}}, 4, 1, tooLong("abcd")},
      {{{"A1", "A2"}, {"A2", "abcde"}}, 5, ~1U, found("A2")}, {{{"A1", "A2"}}, 5, 1, found("A2")},
      {{{"A1", "A2"}, {"A2", ""}}, 5, 1, kNotSet}, {{{"A1", "A1"}}, 5, 1, failed(kSlzInvalid)},
      {{{"A1", "A2"}, {"A2", "A1"}}, 5, 1, failed(kSlzInvalid)},
      {chainOf(255), 5, 1, found("end")}, {chainOf(256), 5, 1, failed(kSlzInvalid)}};
  // clang-format on
  for (const auto& c : cases) {
    inFreshProcess([&] {
      for (const auto& [name, value] : c.vars) {
        setenv(name.c_str(), value.c_str(), 1);
      }
      EXPECT_EQ(lookup("A1", c.bufsize, c.options), c.want) << c.vars.size() << " variables";
    });
  }
}

// The answers once call k (from 1; 0: none) of a wrapper failed: a failed open or handle is a
// missing file, a failed copy of a name or value skips its line alone, a failed entry publishes
// nothing read so far, a failed close changes nothing. They hold for the rest of the process.
TEST(SettingsRead, EveryWrapperCallFailsInTurn) {
  const TempDir home;
  writeFile(home / "env.zan",
            "# settings\nKVL_ADMIN=/net/admin\nlogProperty=true\nDISABLE_VUDOV_FEATURES=yes\n");
  using Answers = std::pair<Lookup, Lookup>;
  const Answers both{found("/net/admin"), found("yes")}, none{kNotSet, kNotSet};
  const Answers onlyAdmin{both.first, kNotSet}, onlyDisable{kNotSet, both.second};
  // Malloc: the file's handle, then a copy of the name, of the value and an entry for each line.
  // clang-format off
  const std::map<Wrapper, std::vector<Answers>> answersAfter = {
      {Wrapper::Malloc, {both, none, onlyDisable, onlyDisable, none, onlyAdmin, onlyAdmin, none}},
      {Wrapper::Open, {both, none}}, {Wrapper::Fdopen, {both, none}}, {Wrapper::Calloc, {both}},
      {Wrapper::Fclose, {both, both}}, {Wrapper::Strdup, {both}}, {Wrapper::Fopen, {both}}};
  // clang-format on
  for (const WrapperCase& w : kWrappers) {
    const std::vector<Answers>& answers = answersAfter.at(w.wrapper);
    for (unsigned k = 0; k < answers.size(); ++k) {
      SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k));
      inFreshProcess([&] {
        setenv("ZANTIX_HOME", home.path().c_str(), 1);
        armFault(w.wrapper, k, w.error);
        EXPECT_EQ(lookup("logProperty"), kNotSet);
        if (k == 0) {
          EXPECT_EQ(callCount(w.wrapper), answers.size() - 1) << "the calls the read makes";
        }
        for (int i = 0; i < 2; ++i) {
          EXPECT_EQ((Answers{lookup("KVL_ADMIN"), lookup("DISABLE_VUDOV_FEATURES")}), answers[k]);
        }
        EXPECT_EQ(callCount(Wrapper::Open), 1U);
        const bool stream = k == 0 || (w.wrapper != Wrapper::Open && w.wrapper != Wrapper::Fdopen);
        EXPECT_EQ(callCount(Wrapper::Fclose), stream ? 1U : 0U);
      });
    }
  }
}

// A home of exactly 1024 bytes is read on the first miss, once, and supplies only its two
// settings: the first line of a name wins, and DISABLE_VUDOV_FEATURES is the second piece of a
// line longer than the 1088 characters read at a time, each piece a line of its own.
TEST(SettingsFile, ReadOnceForNamesMissingFromTheEnvironment) {
  const TempDir home;
  writeFile(home / "env.zan",
            "# installation settings\nKVL_ADMIN = /net/admin   # site settings\n"
            "ZANTIX_HOME=/elsewhere\nlogProperty=true\n#" +
                std::string(1087, 'c') + "DISABLE_VUDOV_FEATURES=yes\nKVL_ADMIN=/second\n");
  const std::string home1024 = home.path() + std::string(1024 - home.path().size(), '/');
  inFreshProcess([&] {
    EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    for (const std::string& unusable : {std::string(), home1024 + "/"}) {
      setenv("ZANTIX_HOME", unusable.c_str(), 1);
      EXPECT_EQ(lookup("KVL_ADMIN"), kNotSet);
    }
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
    EXPECT_EQ(callCount(Wrapper::Open), 0U);
    setenv("ZANTIX_HOME", home1024.c_str(), 1);
    EXPECT_EQ(lookup("KVL_ADMIN", 10), found("/net/admin"));
    EXPECT_EQ(lookup("KVL_ADMIN", 9), failed(kSlzInvalid));
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("yes"));
    EXPECT_EQ(lookup("logProperty"), kNotSet);
    setenv("DISABLE_VUDOV_FEATURES", "no", 1);
    EXPECT_EQ(lookup("DISABLE_VUDOV_FEATURES"), found("no"));
    // Later changes to the file or the home are not seen.
    writeFile(home / "env.zan", "KVL_ADMIN=/changed\n");
    unsetenv("ZANTIX_HOME");
    EXPECT_EQ(lookup("ZANTIX_HOME"), kNotSet);
    EXPECT_EQ(lookup("KVL_ADMIN"), found("/net/admin"));
    EXPECT_EQ(callCount(Wrapper::Open), 1U);
  });
}

}  // namespace
}  // namespace dorq_test
