// What tests/e2e/client.bats cannot show: every outcome the client decodes, with each status code's
// meaning and the signal names, channels that fit none handed through untouched, and the request
// record's line rules.
#include <gtest/gtest.h>
#include <signal.h>

#include "examples/client_decode.h"
#include "examples/client_request.h"

namespace dorq_client {
namespace {

using namespace std::string_literals;

TEST(ClientDecode, SplitsWordsFramesAndJobOutputIntoOneOutcome) {
  const auto f = [](int code) {
    return std::string(kFrameOpen) + std::to_string(code) + std::string(kFrameClose);
  };
  const std::string bad = "unrecognised report from dorq (exit status ";
  // clang-format off
  const struct { std::string out, err; int wait; std::string jobOut, jobErr, line; bool kill = false; } rows[] = {
      {"hello\n\0"s, "", 3 << 8, "hello\n", "", "started, pid 4242, exit status 3"},
      {"\0a\0b"s, "diag\n", 7 << 8, "a\0b"s, "diag\n", "started, pid 4242, exit status 7"},
      {"\0"s, "", 137 << 8, "", "", "started, pid 4242, exit status 137 (SIGKILL by the shell convention)"},
      {"\0"s, "", 162 << 8, "", "", "started, pid 4242, exit status 162 (signal 34 by the shell convention)"},
      {"\0"s, "", 193 << 8, "", "", "started, pid 4242, exit status 193"},
      {"", f(2), 2 << 8, "", "", "request refused: no memory for it, or argument count -2 (2)"},
      {"", f(3), 3 << 8, "", "", "request record ended early (3)"},
      {"", f(4), 4 << 8, "", "", "request line too long (4)"},
      {"", "trace\n" + f(20), 20 << 8, "", "trace\n", "bad command-line option (20)"},
      {"\x05", f(5), 5 << 8, "", "", "dorq is not installed set-user-ID root (5)"},
      {"\x07", f(7), 7 << 8, "", "", "authentication failed (7)"},
      {"\x10", f(16), 16 << 8, "", "", "PAM library could not be loaded (16)"},
      {"\x15", f(21), 21 << 8, "", "", "PAM configuration refuses dorq the su service (21)"},
      {"\x0a\x00"s, f(7), 7 << 8, "", "", "user unknown to the account database (7)"},
      {"\x0a\x00"s, f(8), 8 << 8, "", "", "could not take on the user's identity (8)"},
      {"\x0a\x00"s, f(10), 10 << 8, "", "", "command could not be executed (10)"},
      {"\x0a\x00"s, f(13), 13 << 8, "", "", "could not join the job's stderr to its stdout (13)"},
      {"\0"s, f(13), 13 << 8, "", "", "could not keep a copy of standard error (13)"},
      {"\x0a\x0a", f(10), 10 << 8, "", "", "job pipe could not be created (10)"},
      {"\x09\x09", f(9), 9 << 8, "", "", "job process could not be created (9)"},
      {"\0partial\x0c"s, f(12), 12 << 8, "partial", "", "started, pid 4242, ended through a signal, named in dorq's audit line (12)"},
      {"\0partial\x0b"s, f(11), 11 << 8, "partial", "", "started, pid 4242, waiting for the command failed (11)"},
      {"\x0a\x00\x0b"s, f(10) + f(11), 11 << 8, "", "", "command could not be started, and waiting for it failed (11)"},
      {"\0"s, "", 0, "", "", "kill request sent: SIGKILL to the job's cgroup or process group (0)", true},
      {"\x0e\x0e", f(14), 14 << 8, "", "", "kill request failed (14)", true},
      {"\0abc"s, "", SIGKILL, "\0abc"s, "", "dorq ended through SIGKILL (signal 9)"},
      {"hello", "", 0, "hello", "", bad + "0): no status word 0 on standard output"},
      {"\x07", f(7), 3 << 8, "\x07", f(7), bad + "3): frame 7 but exit status 3"},
      {"\x07", f(7) + "\n", 7 << 8, "\x07", f(7) + "\n", bad + "7): no status word 0 on standard output"},
      {"\x07\x07", f(7), 7 << 8, "\x07\x07", f(7), bad + "7): status words 2 byte(s) do not fit frame 7"}};
  // clang-format on
  for (const auto& r : rows) {
    const DorqOutcome o =
        decodeDorqRun({r.out, r.err, "DORQ_CHILD_PID4242DORQ_CHILD_PID", r.wait, r.kill});
    EXPECT_EQ(describeOutcome(o), r.line);
    EXPECT_TRUE(o.jobOut == r.jobOut && o.jobErr == r.jobErr) << r.line;
  }
  EXPECT_EQ(splitTrailingFrames("!@#--!@#7x#@!--#@!").codes, std::vector<int>{});
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID42"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID4x2DORQ_CHILD_PID"), std::nullopt);
}

TEST(ClientRequest, OneLinePerFieldAndNoFieldThatCannotTravelOnOne) {
  std::string problem;
  EXPECT_EQ(
      buildRequestRecord({"alice", "her password", 6, "/bin/sh", {"-c", "", "echo hi"}}, &problem),
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
