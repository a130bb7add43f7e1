// The example client's decoding of dorq's channels and its request record, on
// byte strings. Its runs against the real dorq: tests/e2e/client.bats.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "examples/client_decode.h"
#include "examples/client_request.h"

namespace dorq_client {
namespace {

using namespace std::string_literals;

std::string frame(int code) {
  return std::string(kFrameOpen) + std::to_string(code) + std::string(kFrameClose);
}

struct Row {
  std::string out, err;
  int waitStatus;
  std::string jobOut, jobErr, line;
  bool kill = false;
};

// Each outcome dorq produces, with the start word anywhere in the job's
// output; channels that fit none are handed through untouched.
TEST(ClientDecode, SplitsWordsFramesAndJobOutputIntoOneOutcome) {
  const Row rows[] = {
      {"\0hello\n"s, "", 0, "hello\n", "", "started, pid 4242, exit status 0"},
      {"hello\n\0"s, "", 3 << 8, "hello\n", "", "started, pid 4242, exit status 3"},
      {"\0a\0b"s, "diag\n", 7 << 8, "a\0b"s, "diag\n", "started, pid 4242, exit status 7"},
      {"\x07", frame(7), 7 << 8, "", "", "authentication failed (7)"},
      {"\x0a\x00"s, frame(7), 7 << 8, "", "", "user unknown to the account database (7)"},
      {"\x0a\x00"s, frame(10), 10 << 8, "", "", "command could not be executed (10)"},
      {"\x09\x09", frame(9), 9 << 8, "", "", "job process could not be created (9)"},
      {"\0partial\x0c"s, frame(12), 12 << 8, "partial", "",
       "started, pid 4242, ended by a signal (12)"},
      {"\x0a\x00\x0b"s, frame(10) + frame(11), 11 << 8, "", "",
       "command could not be started, and waiting for it failed (11)"},
      {"", "trace\n" + frame(20), 20 << 8, "", "trace\n", "bad command-line option (20)"},
      {"\0"s, "", 0, "", "", "kill request sent (0)", true},
      {"\0abc"s, "", SIGKILL, "\0abc"s, "", "dorq ended through signal 9"},
      {"hello", "", 0, "hello", "",
       "unrecognised report from dorq (exit status 0): no status word 0 on standard output"},
      {"\x07", frame(7), 3 << 8, "\x07", frame(7),
       "unrecognised report from dorq (exit status 3): frame 7 but exit status 3"},
      {"\x07", frame(7) + "\n", 7 << 8, "\x07", frame(7) + "\n",
       "unrecognised report from dorq (exit status 7): no status word 0 on standard output"},
      {"\x07\x07", frame(7), 7 << 8, "\x07\x07", frame(7),
       "unrecognised report from dorq (exit status 7): status words 2 byte(s) do not fit frame 7"},
  };
  for (const Row& row : rows) {
    const DorqOutcome outcome = decodeDorqRun(
        {row.out, row.err, "DORQ_CHILD_PID4242DORQ_CHILD_PID", row.waitStatus, row.kill});
    EXPECT_EQ(describeOutcome(outcome), row.line);
    EXPECT_EQ(outcome.jobOut, row.jobOut) << row.line;
    EXPECT_EQ(outcome.jobErr, row.jobErr) << row.line;
  }
  EXPECT_EQ(splitTrailingFrames("!@#--!@#7x#@!--#@!").codes, std::vector<int>{});
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID42"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID4x2DORQ_CHILD_PID"), std::nullopt);
}

TEST(ClientRequest, OneLinePerFieldAndNoFieldThatCannotTravelOnOne) {
  RequestFields fields{"alice", "her password", 6, "/bin/sh", {"-c", "", "echo hi"}};
  std::string problem;
  EXPECT_EQ(buildRequestRecord(fields, &problem),
            "alice\nher password\n6\n/bin/sh\n3\n-c\n\necho hi\n");
  const std::string longest(kMaxRequestLine, 'a');
  EXPECT_TRUE(buildRequestRecord({"alice", longest, 2, "/bin/true", {longest}}, &problem));
  for (const std::string& bad : {longest + "a", "p\nw"s, "a\0b"s}) {
    EXPECT_FALSE(buildRequestRecord({"alice", bad, 2, "/bin/true", {}}, &problem));
    EXPECT_FALSE(buildRequestRecord({"alice", "pw", 2, "/bin/true", {bad}}, &problem));
  }
}

}  // namespace
}  // namespace dorq_client
