// The line rules of the settings file.
#include <errno.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "port/ss_wrappers.h"
#include "settings/slzgetevar.h"
#include "tests/support/fault_injection.h"

namespace {

struct LineCase {
  const char* what;
  std::string line;
  std::optional<std::string> name;  // nullopt: the line is ignored
  std::string value;
};

std::string repeat(char c, size_t n) {
  return std::string(n, c);
}

LineCase accepted(const char* what, std::string line, std::string name, std::string value) {
  return LineCase{what, std::move(line), std::move(name), std::move(value)};
}
LineCase ignored(const char* what, std::string line) {
  return LineCase{what, std::move(line), std::nullopt, ""};
}

std::vector<LineCase> lineCases() {
  const std::string v1024 = repeat('v', 1024);
  return {
      accepted("plain", "KVL_ADMIN=/x", "KVL_ADMIN", "/x"),
      accepted("blanks and trailing comment", "  KVL_ADMIN = /net/admin   # site settings\n",
               "KVL_ADMIN", "/net/admin"),
      accepted("the other setting", "DISABLE_VUDOV_FEATURES=TRUE\n", "DISABLE_VUDOV_FEATURES",
               "TRUE"),
      accepted("CR LF", "KVL_ADMIN=/x\r\n", "KVL_ADMIN", "/x"),
      accepted("tabs, vertical tab and form feed", "\v\f\tKVL_ADMIN\t=\t/x\t\n", "KVL_ADMIN", "/x"),
      accepted("comment without blank", "KVL_ADMIN=/x#comment", "KVL_ADMIN", "/x"),
      accepted("= inside the value", "KVL_ADMIN=a=b=c\n", "KVL_ADMIN", "a=b=c"),
      accepted("= right after =", "KVL_ADMIN==x", "KVL_ADMIN", "=x"),
      accepted("= inside a trailing comment", "KVL_ADMIN = /a # b = c", "KVL_ADMIN", "/a"),
      accepted("quotes are kept", "KVL_ADMIN=\"/quoted path\" \n", "KVL_ADMIN", "\"/quoted path\""),
      accepted("single quotes are kept", "KVL_ADMIN='x'", "KVL_ADMIN", "'x'"),
      accepted("inner blanks are kept", "KVL_ADMIN= a b  c  \n", "KVL_ADMIN", "a b  c"),
      accepted("no expansion", "KVL_ADMIN=$HOME/x\\\n", "KVL_ADMIN", "$HOME/x\\"),
      accepted("1024-character value", "KVL_ADMIN=" + v1024 + "\n", "KVL_ADMIN", v1024),
      accepted("1024 characters and a comment", "KVL_ADMIN=" + v1024 + "#c", "KVL_ADMIN", v1024),
      accepted("blanks before = do not count toward the name", "KVL_ADMIN" + repeat(' ', 60) + "=1",
               "KVL_ADMIN", "1"),
      ignored("empty", ""),
      ignored("blanks only", "  \t \r\n"),
      ignored("comment", "# KVL_ADMIN=/x\n"),
      ignored("indented comment", "   # KVL_ADMIN=/x\n"),
      ignored("no =", "KVL_ADMIN /x\n"),
      ignored("empty name", " = /x\n"),
      ignored("name in lower case", "  kvl_admin = /net/admin   # site settings\n"),
      ignored("name in mixed case", "Disable_Vudov_Features=1"),
      ignored("name with a blank", "KVL ADMIN=/x"),
      ignored("longer name", "KVL_ADMIN_X=/x"),
      ignored("shorter name", "KVL_ADMI=/x"),
      ignored("a setting of the environment only", "logProperty=true\n"),
      ignored("the home is never taken from the file", "ZANTIX_HOME=/elsewhere\n"),
      ignored("63-character name", repeat('N', 63) + "=x"),
      ignored("64-character name", repeat('N', 64) + "=x"),
      ignored("64-character name ending in an accepted one", repeat('N', 55) + "KVL_ADMIN=x"),
      ignored("empty value", "KVL_ADMIN=\n"),
      ignored("empty value without newline", "KVL_ADMIN="),
      ignored("blank value", "KVL_ADMIN=   \t\r\n"),
      ignored("value is a comment", "KVL_ADMIN=# nothing\n"),
      ignored("value is a comment after blanks", "KVL_ADMIN=   # nothing\n"),
      ignored("1025-character value", "KVL_ADMIN=" + repeat('v', 1025) + "\n"),
      // The length counts before trailing blanks are removed.
      ignored("1024 characters and blanks", "KVL_ADMIN=" + v1024 + "  \n"),
      ignored("1024 characters and CR LF", "KVL_ADMIN=" + v1024 + "\r\n"),
  };
}

class ParseLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseLine, FollowsTheLineRules) {
  const LineCase& c = GetParam();
  char* name = reinterpret_cast<char*>(0x1);
  char* value = reinterpret_cast<char*>(0x1);
  const int result = slzgetevarf_parseline(c.line.c_str(), &name, &value);
  if (!c.name) {
    EXPECT_EQ(result, -1);
    return;
  }
  ASSERT_EQ(result, 0);
  ASSERT_NE(name, nullptr);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(name), *c.name);
  EXPECT_EQ(std::string(value), c.value);
  ssMemFree(name);
  ssMemFree(value);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseLine, ::testing::ValuesIn(lineCases()),
                         [](const ::testing::TestParamInfo<LineCase>& info) {
                           std::string id;
                           for (const char* p = info.param.what; *p != '\0'; ++p) {
                             id += (isalnum(static_cast<unsigned char>(*p)) != 0) ? *p : '_';
                           }
                           return id;
                         });

class ParseLineMemory : public ::testing::Test {
 protected:
  void SetUp() override { dorq_test::resetFaults(); }
  void TearDown() override { dorq_test::resetFaults(); }
};

// Every allocation of a line that is parsed is released again when it fails
// part-way (the sanitizer build checks for leaks at exit).
TEST_F(ParseLineMemory, NoMemoryForTheNameGivesMinusTwo) {
  dorq_test::armFault(dorq_test::Wrapper::Malloc, 1, ENOMEM);
  char* name = nullptr;
  char* value = nullptr;
  EXPECT_EQ(slzgetevarf_parseline("KVL_ADMIN=/x", &name, &value), -2);
  EXPECT_EQ(dorq_test::callCount(dorq_test::Wrapper::Malloc), 1U);
}

TEST_F(ParseLineMemory, NoMemoryForTheValueGivesMinusTwo) {
  dorq_test::armFault(dorq_test::Wrapper::Malloc, 2, ENOMEM);
  char* name = nullptr;
  char* value = nullptr;
  EXPECT_EQ(slzgetevarf_parseline("KVL_ADMIN=/x", &name, &value), -2);
  EXPECT_EQ(dorq_test::callCount(dorq_test::Wrapper::Malloc), 2U);
}

TEST_F(ParseLineMemory, IgnoredLinesOfAnAcceptedNameReleaseTheName) {
  char* name = nullptr;
  char* value = nullptr;
  EXPECT_EQ(slzgetevarf_parseline("KVL_ADMIN=# none", &name, &value), -1);
  EXPECT_EQ(slzgetevarf_parseline(("KVL_ADMIN=" + repeat('v', 1025)).c_str(), &name, &value), -1);
  EXPECT_EQ(dorq_test::callCount(dorq_test::Wrapper::Malloc), 2U);
}

}  // namespace
