// The driver's own steps in process: the options with their refusals
// (status 20), and the request record read from standard input.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/dorq_driver.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_run.h"

namespace {

void resetOptions() {
  dorqTraceLevel = 0;
  dorqTraceFilel = 0;
  memset(dorqTraceFile, 0, sizeof dorqTraceFile);
  dorqChildPidFile = nullptr;
}

// Parses words after a program name; argv lives as long as words.
DorqStatus parse(std::vector<std::string>& words, std::vector<char*>* argv) {
  resetOptions();
  argv->assign(1, const_cast<char*>("dorq"));
  for (std::string& word : words) {
    argv->push_back(word.data());
  }
  argv->push_back(nullptr);
  return dorqParseArgs(static_cast<int>(argv->size() - 1), argv->data());
}

TEST(ArgsTest, OptionsAndRefusals) {
  const std::string longest = "/t/" + std::string(4067, 'a');  // 4070: the most that fits
  const std::string tooLong(4071, 'a');
  // traceDir: where the trace file "dorq_<pid>.trc" goes; null: none.
  // clang-format off
  struct { std::vector<std::string> words; DorqStatus status; int32_t level; const char* traceDir; }
  cases[] = {
      {{}, DorqStatus::Ok, 0, nullptr},
      // A value is missing, or the file sink is asked for without a file.
      {{"-trcfile"}, DorqStatus::BadOption, 0, nullptr},
      {{"-trclvl"}, DorqStatus::BadOption, 0, nullptr},
      {{"-childpidfile"}, DorqStatus::BadOption, 0, nullptr},
      {{"-trcfile", "/tmp/t", "-trclvl"}, DorqStatus::BadOption, 0, "/tmp/"},
      {{"-trclvl", "2"}, DorqStatus::BadOption, 2, nullptr},
      {{"-trcfile", tooLong, "-trclvl", "2"}, DorqStatus::BadOption, 2, nullptr},
      {{"-trcfile", tooLong}, DorqStatus::Ok, 0, nullptr},
      {{"-trcfile", longest, "-trclvl", "2"}, DorqStatus::Ok, 2, "/t/"},
      // Levels are scanned like %i; text that is no number changes nothing.
      {{"-trclvl", "0x38"}, DorqStatus::Ok, 0x38, nullptr},
      {{"-trclvl", "010"}, DorqStatus::Ok, 8, nullptr},
      {{"-trclvl", " -8junk"}, DorqStatus::Ok, -8, nullptr},
      {{"-trclvl", "9", "-trclvl", "abc"}, DorqStatus::Ok, 9, nullptr},
      // Unknown words are skipped; options act in order, the last one wins.
      {{"junk", "-trclvl", "8", "-TRCLVL", "4", "-trclvl", "16"}, DorqStatus::Ok, 16, nullptr},
      {{"-trcfile", "/var/trace/run_worker_12.trc", "-trcfile", "/tmp/x"}, DorqStatus::Ok, 0, "/tmp/"},
  };
  // clang-format on
  for (auto& c : cases) {
    std::vector<char*> argv;
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(parse(c.words, &argv), c.status);
    EXPECT_EQ(dorqTraceLevel, c.level);
    const std::string expected =
        c.traceDir != nullptr ? c.traceDir + ("dorq_" + std::to_string(getpid()) + ".trc") : "";
    EXPECT_EQ(std::string(dorqTraceFile), expected);
    EXPECT_EQ(dorqTraceFilel, static_cast<int64_t>(expected.size()));
  }
  char* none[] = {nullptr};  // a caller can leave out even the program name
  EXPECT_EQ(dorqParseArgs(0, none), DorqStatus::Ok);

  std::vector<std::string> words = {"-childpidfile", "12abc"};
  std::vector<char*> argv;
  ASSERT_EQ(parse(words, &argv), DorqStatus::Ok);
  EXPECT_EQ(dorqChildPidFile, argv[2]);  // the text itself, not a copy
  resetOptions();
}

// Reads a request from a file standing in for standard input; rest receives
// what the reader left unread.
DorqStatus readRequest(const std::string& bytes, DorqRequest* request,
                       std::string* rest = nullptr) {
  const int fd = memfd_create("request", 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  FILE* in = fdopen(fd, "r");
  const DorqStatus status = dorqReadRequest(in, request);
  if (rest != nullptr) {
    *rest = bytes.substr(static_cast<size_t>(lseek(fd, 0, SEEK_CUR)));
  }
  fclose(in);
  return status;
}

std::string head(const std::string& count) {
  return "alice\nsecret\n2\n/bin/true\n" + count + "\n";
}

TEST(RequestTest, WholeRecordAndTheBytesLeftForTheJob) {
  using namespace std::string_literals;
  DorqRequest r{};
  std::string rest;
  // A carriage return stays in the line; a NUL byte ends it.
  const std::string input = "alice\r\nse\0cret\n 6xyz\n/bin/echo\n+2\none\nab\0cd\nfor the job\n"s;
  ASSERT_EQ(readRequest(input, &r, &rest), DorqStatus::Ok);
  ASSERT_EQ(r.slots, 4U);
  EXPECT_EQ(r.argv[0], r.path);
  EXPECT_EQ((std::vector<std::string>{r.user, r.password, std::to_string(r.flags), r.path,
                                      r.argv[1], r.argv[2]}),
            (std::vector<std::string>{"alice\r", "se", "6", "/bin/echo", "one", "ab"}));
  EXPECT_EQ(rest, "for the job\n");  // read unbuffered: nothing more consumed
  dorqReleaseRequest(&r);
}

TEST(RequestTest, LimitsAndCounts) {
  const std::string fits(kRequestLineMax, 'x');  // 131068 characters
  const std::string over = fits + "x";
  const struct {
    std::string input;
    DorqStatus status;
    uint32_t slots;  // 0 after a failure: everything is released
  } cases[] = {
      {fits + "\n" + fits + "\n0\n/bin/true\n0\n", DorqStatus::Ok, 2},
      {head("1") + fits, DorqStatus::Ok, 3},  // the last line needs no newline
      {head("-1"), DorqStatus::Ok, 1},        // one slot: the terminator
      {head("two"), DorqStatus::Ok, 2},
      {over + "\nsecret\n0\n/bin/true\n0\n", DorqStatus::LineTooLong, 0},
      {"u\np\n0\n" + over, DorqStatus::LineTooLong, 0},
      {head("1") + over + "\n", DorqStatus::LineTooLong, 0},
      {"", DorqStatus::InputEnded, 0},
      {"alice\n", DorqStatus::InputEnded, 0},
      {"alice\nsecret\n0\n/bin/true\n", DorqStatus::InputEnded, 0},
      {head("3") + "one\ntwo\n", DorqStatus::InputEnded, 0},
      {head("-2"), DorqStatus::NoMemory, 0},  // no slot at all
  };
  for (const auto& c : cases) {
    DorqRequest r{};
    EXPECT_EQ(readRequest(c.input, &r), c.status) << c.input.substr(0, 40);
    ASSERT_EQ(r.slots, c.slots) << c.input.substr(0, 40);
    EXPECT_TRUE(c.slots == 0 ? r.user == nullptr : r.argv[c.slots - 1] == nullptr);
    dorqReleaseRequest(&r);
  }
  // Counts asking for billions of slots: no memory, or the input runs out.
  for (const char* count : {"-3", "2147483647"}) {
    DorqRequest r{};
    const DorqStatus status = readRequest(head(count) + "a\n", &r);
    EXPECT_TRUE(status == DorqStatus::NoMemory || status == DorqStatus::InputEnded)
        << count << int(status);
    dorqReleaseRequest(&r);
  }
}

}  // namespace
