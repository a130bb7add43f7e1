// Requests and the environment path of the settings lookup. Every name
// looked up here is in the environment (or the request is refused before the
// lookup), so the settings file is never read in this process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"
#include "tests/settings/settings_test_support.h"

namespace {

using dorq_settings_test::failed;
using dorq_settings_test::found;
using dorq_settings_test::lookup;
using dorq_settings_test::notSet;
using dorq_settings_test::ScopedEnv;

constexpr char kFill = '@';

class Environment : public ::testing::Test {
 protected:
  // The cache must stay untouched in the test process, for the children's sake.
  void SetUp() override { ExpectCacheUntouched(); }
  void TearDown() override { ExpectCacheUntouched(); }
  static void ExpectCacheUntouched() {
    EXPECT_EQ(slzgetevarf_env_head, nullptr);
    EXPECT_EQ(slzgetevarf_parse_attempted, 0U);
  }
};

TEST_F(Environment, NullErrorSlotGivesMinusTwo) {
  char buf[16];
  EXPECT_EQ(slzgetevar(nullptr, "PATH", 4, buf, sizeof buf, 0), -2);
  EXPECT_EQ(slzgetevar(nullptr, nullptr, 0, nullptr, 0, 0), -2);
}

struct Request {
  const char* what;
  const char* name;
  uint64_t namelen;
  bool withBuffer;
  uint64_t bufsize;
  uint32_t error;
};

// Refused requests store their error number, give -2 and leave the buffer alone.
TEST_F(Environment, RefusedRequests) {
  const ScopedEnv set("DORQ_ST_VALUE", "value");
  const std::string name63(63, 'N');
  const std::string name64(64, 'N');
  const Request requests[] = {
      {"null name", nullptr, 4, true, 16, kSlzInvalid},
      {"name length 0", "DORQ_ST_VALUE", 0, true, 16, kSlzInvalid},
      {"name beginning with NUL", "\0DORQ_ST_VALUE", 14, true, 16, kSlzInvalid},
      {"null buffer", "DORQ_ST_VALUE", 13, false, 16, kSlzInvalid},
      {"buffer size 0", "DORQ_ST_VALUE", 13, true, 0, kSlzInvalid},
      {"name length 64", name64.c_str(), 64, true, 16, kSlzTooLong},
      {"name length 64 with a short name", "DORQ_ST_VALUE", 64, true, 16, kSlzTooLong},
      // An invalid request is refused before a too-long name.
      {"null buffer and name length 64", name64.c_str(), 64, false, 16, kSlzInvalid},
  };
  for (const Request& r : requests) {
    SCOPED_TRACE(r.what);
    char buf[17];
    memset(buf, kFill, sizeof buf);
    uint32_t error = 77;
    EXPECT_EQ(slzgetevar(&error, r.name, r.namelen, r.withBuffer ? buf : nullptr, r.bufsize, 0),
              -2);
    EXPECT_EQ(error, r.error);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, kFill));
  }
}

TEST_F(Environment, NameOf63CharactersIsAccepted) {
  const std::string name(63, 'N');
  const ScopedEnv set(name, "sixty-three");
  EXPECT_EQ(lookup(name), found("sixty-three"));
}

// Only the first namelen bytes count, up to the first NUL among them, so the
// name need not be terminated.
TEST_F(Environment, NameIsTakenFromItsFirstNamelenBytes) {
  const ScopedEnv set("DORQ_ST_VALUE", "value");
  const char unterminated[13] = {'D', 'O', 'R', 'Q', '_', 'S', 'T', '_', 'V', 'A', 'L', 'U', 'E'};
  const char withNul[] = "DORQ_ST_VALUE\0junk";
  const char longer[] = "DORQ_ST_VALUEjunk";
  char buf[16];
  uint32_t error = 77;
  EXPECT_EQ(slzgetevar(&error, unterminated, sizeof unterminated, buf, sizeof buf, 0), 5);
  EXPECT_EQ(error, 0U);
  EXPECT_EQ(slzgetevar(&error, withNul, sizeof withNul - 1, buf, sizeof buf, 0), 5);
  EXPECT_EQ(slzgetevar(&error, longer, 13, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "value");
}

TEST_F(Environment, EmptyValueIsNotSet) {
  const ScopedEnv set("DORQ_ST_EMPTY", "");
  EXPECT_EQ(lookup("DORQ_ST_EMPTY"), notSet());
}

// A value of exactly bufsize bytes fills the buffer with no terminator; one
// byte more is too long and leaves the first bufsize bytes.
TEST_F(Environment, BufferSizeBoundary) {
  const ScopedEnv set("DORQ_ST_VALUE", "0123456789");
  char buf[12];
  uint32_t error = 77;
  memset(buf, kFill, sizeof buf);
  EXPECT_EQ(slzgetevar(&error, "DORQ_ST_VALUE", 13, buf, 10, 0), 10);
  EXPECT_EQ(error, 0U);
  EXPECT_EQ(std::string(buf, sizeof buf), "0123456789@@");

  memset(buf, kFill, sizeof buf);
  EXPECT_EQ(slzgetevar(&error, "DORQ_ST_VALUE", 13, buf, 9, 0), -2);
  EXPECT_EQ(error, kSlzTooLong);
  EXPECT_EQ(std::string(buf, sizeof buf), "012345678@@@");
}

// Environment values above 4096 bytes are too long even in a larger buffer,
// which then holds the whole value.
TEST_F(Environment, ValueOf4097BytesIsTooLongInALargeBuffer) {
  const std::string v4096(4096, 'x');
  const std::string v4097 = v4096 + "y";
  {
    const ScopedEnv set("DORQ_ST_VALUE", v4096);
    EXPECT_EQ(lookup("DORQ_ST_VALUE", 8192), found(v4096));
  }
  const ScopedEnv set("DORQ_ST_VALUE", v4097);
  std::vector<char> buf(8192, kFill);
  uint32_t error = 77;
  EXPECT_EQ(slzgetevar(&error, "DORQ_ST_VALUE", 13, buf.data(), buf.size(), 0), -2);
  EXPECT_EQ(error, kSlzTooLong);
  EXPECT_EQ(std::string(buf.data(), 4098), v4097 + kFill);
}

struct ChainCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> variables;
  uint32_t options;
  dorq_settings_test::Lookup expected;
};

// Options bit 0 follows values as names of further variables.
TEST_F(Environment, IndirectionChain) {
  const ChainCase cases[] = {
      {"A to B to C", {{"DORQ_ST_A", "DORQ_ST_B"}, {"DORQ_ST_B", "C"}}, 1, found("C")},
      {"A to a missing B", {{"DORQ_ST_A", "DORQ_ST_B"}}, 1, found("DORQ_ST_B")},
      {"A to itself", {{"DORQ_ST_A", "DORQ_ST_A"}}, 1, failed(kSlzInvalid)},
      {"A to B to A",
       {{"DORQ_ST_A", "DORQ_ST_B"}, {"DORQ_ST_B", "DORQ_ST_A"}},
       1,
       failed(kSlzInvalid)},
      {"A to an empty B", {{"DORQ_ST_A", "DORQ_ST_B"}, {"DORQ_ST_B", ""}}, 1, notSet()},
      {"without bit 0", {{"DORQ_ST_A", "DORQ_ST_B"}, {"DORQ_ST_B", "C"}}, 0, found("DORQ_ST_B")},
      {"other bits only",
       {{"DORQ_ST_A", "DORQ_ST_B"}, {"DORQ_ST_B", "C"}},
       0xFFFFFFFE,
       found("DORQ_ST_B")},
  };
  for (const ChainCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<ScopedEnv>> set;
    for (const auto& [name, value] : c.variables) {
      set.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    EXPECT_EQ(lookup("DORQ_ST_A", 64, c.options), c.expected);
  }
}

// A chain of n variables, each naming the next, the last holding "end".
std::vector<std::unique_ptr<ScopedEnv>> chainOf(int n) {
  std::vector<std::unique_ptr<ScopedEnv>> set;
  for (int i = 1; i <= n; ++i) {
    const std::string value = i == n ? "end" : "DORQ_ST_C" + std::to_string(i + 1);
    set.push_back(std::make_unique<ScopedEnv>("DORQ_ST_C" + std::to_string(i), value));
  }
  return set;
}

// The variable's own value is the first of the chain; a 256th value fails.
TEST_F(Environment, IndirectionStopsAtThe256thValue) {
  {
    const auto set = chainOf(255);
    EXPECT_EQ(lookup("DORQ_ST_C1", 64, kSlzOptIndirect), found("end"));
    EXPECT_EQ(lookup("DORQ_ST_C2", 64, kSlzOptIndirect), found("end"));
  }
  const auto set = chainOf(256);
  EXPECT_EQ(lookup("DORQ_ST_C1", 64, kSlzOptIndirect), failed(kSlzInvalid));
  EXPECT_EQ(lookup("DORQ_ST_C2", 64, kSlzOptIndirect), found("end"));
}

// The indirection's final value obeys the same size rules.
TEST_F(Environment, IndirectionResultIsMeasuredAgainstTheBuffer) {
  const ScopedEnv a("DORQ_ST_A", "DORQ_ST_B");
  const ScopedEnv b("DORQ_ST_B", "0123456789");
  EXPECT_EQ(lookup("DORQ_ST_A", 10, kSlzOptIndirect), found("0123456789"));
  EXPECT_EQ(lookup("DORQ_ST_A", 9, kSlzOptIndirect), failed(kSlzTooLong));
}

}  // namespace
