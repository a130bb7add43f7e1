// The client's decoding on byte strings: every outcome dorq can produce, the
// interleaving of the start word with the job's output, and channels that fit
// no outcome. Also the request record the client builds.
#include <gtest/gtest.h>
#include <signal.h>

#include <ostream>
#include <string>
#include <vector>

#include "examples/client_decode.h"
#include "examples/client_request.h"

namespace dorq_client {
namespace {

using namespace std::string_literals;

int exited(int status) {
  return status << 8;
}

std::string frame(int code) {
  return std::string(kFrameOpen) + std::to_string(code) + std::string(kFrameClose);
}

constexpr char kPid[] = "DORQ_CHILD_PID4242DORQ_CHILD_PID";

struct Row {
  const char* name;
  std::string out;
  std::string err;
  int waitStatus;
  bool kill;
  OutcomeKind kind;
  std::vector<int> words;
  std::string jobOut;
  std::string jobErr;
  std::string line;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class DecodeRow : public ::testing::TestWithParam<Row> {};

TEST_P(DecodeRow, GivesKindWordsOutputAndLine) {
  const Row& row = GetParam();
  DorqChannels channels;
  channels.out = row.out;
  channels.err = row.err;
  channels.pidRecord = kPid;
  channels.waitStatus = row.waitStatus;
  channels.killRequest = row.kill;
  const DorqOutcome outcome = decodeDorqRun(channels);
  EXPECT_EQ(outcome.kind, row.kind) << outcome.detail;
  EXPECT_EQ(outcome.words, row.words);
  EXPECT_EQ(outcome.jobOut, row.jobOut);
  EXPECT_EQ(outcome.jobErr, row.jobErr);
  EXPECT_EQ(describeOutcome(outcome), row.line);
}

const Row kRows[] = {
    {"Started",
     "\0hello\n"s,
     "",
     exited(0),
     false,
     OutcomeKind::Finished,
     {0},
     "hello\n",
     "",
     "started, pid 4242, exit status 0"},
    {"OutputBeforeTheWord",
     "hello\n\0"s,
     "",
     exited(3),
     false,
     OutcomeKind::Finished,
     {0},
     "hello\n",
     "",
     "started, pid 4242, exit status 3"},
    {"JobWritesNulAfterTheWord",
     "\0a\0b"s,
     "",
     exited(0),
     false,
     OutcomeKind::Finished,
     {0},
     "a\0b"s,
     "",
     "started, pid 4242, exit status 0"},
    {"JobStderrKeptApart",
     "\0out"s,
     "diag\n",
     exited(7),
     false,
     OutcomeKind::Finished,
     {0},
     "out",
     "diag\n",
     "started, pid 4242, exit status 7"},
    {"AuthenticationFailed",
     "\x07",
     frame(7),
     exited(7),
     false,
     OutcomeKind::AuthFailed,
     {7},
     "",
     "",
     "authentication failed (7)"},
    {"NotSetuid",
     "\x05",
     frame(5),
     exited(5),
     false,
     OutcomeKind::AuthFailed,
     {5},
     "",
     "",
     "dorq is not installed set-user-ID root (5)"},
    {"BadPamConf",
     "\x15",
     frame(21),
     exited(21),
     false,
     OutcomeKind::AuthFailed,
     {21},
     "",
     "",
     "PAM configuration refuses dorq the su service (21)"},
    {"CommandNotExecuted",
     "\x0a\x00"s,
     frame(10),
     exited(10),
     false,
     OutcomeKind::StartFailed,
     {10, 0},
     "",
     "",
     "command could not be executed (10)"},
    {"UnknownUserInChild",
     "\x0a\x00"s,
     frame(7),
     exited(7),
     false,
     OutcomeKind::StartFailed,
     {10, 0},
     "",
     "",
     "user unknown to the account database (7)"},
    {"JobPipe",
     "\x0a\x0a",
     frame(10),
     exited(10),
     false,
     OutcomeKind::StartFailed,
     {10, 10},
     "",
     "",
     "job pipe could not be created (10)"},
    {"NoStderrCopy",
     "\0"s,
     frame(13),
     exited(13),
     false,
     OutcomeKind::StartFailed,
     {0},
     "",
     "",
     "could not keep a copy of standard error (13)"},
    {"Fork",
     "\x09\x09",
     frame(9),
     exited(9),
     false,
     OutcomeKind::StartFailed,
     {9, 9},
     "",
     "",
     "job process could not be created (9)"},
    {"Signalled",
     "\0partial\x0c"s,
     frame(12),
     exited(12),
     false,
     OutcomeKind::Signalled,
     {0, 12},
     "partial",
     "",
     "started, pid 4242, ended by a signal (12)"},
    {"WaitFailed",
     "\0x\x0b"s,
     frame(11),
     exited(11),
     false,
     OutcomeKind::WaitFailed,
     {0, 11},
     "x",
     "",
     "started, pid 4242, waiting for it failed (11)"},
    {"StartThenWaitFailed",
     "\x0a\x00\x0b"s,
     frame(10) + frame(11),
     exited(11),
     false,
     OutcomeKind::WaitFailed,
     {10, 0, 11},
     "",
     "",
     "command could not be started, and waiting for it failed (11)"},
    {"InputEnded",
     "",
     frame(3),
     exited(3),
     false,
     OutcomeKind::Refused,
     {},
     "",
     "",
     "request record ended early (3)"},
    {"BadOptionAfterTrace",
     "",
     "SCHED trace line\n" + frame(20),
     exited(20),
     false,
     OutcomeKind::Refused,
     {},
     "",
     "SCHED trace line\n",
     "bad command-line option (20)"},
    {"KillSent",
     "\0"s,
     "",
     exited(0),
     true,
     OutcomeKind::KillSent,
     {0},
     "",
     "",
     "kill request sent (0)"},
    {"KillFailed",
     "\x0e\x0e",
     frame(14),
     exited(14),
     true,
     OutcomeKind::KillFailed,
     {14, 14},
     "",
     "",
     "kill request failed (14)"},
    {"DorqKilled",
     "\0abc"s,
     "",
     SIGKILL,
     false,
     OutcomeKind::DorqSignalled,
     {},
     "\0abc"s,
     "",
     "dorq ended through signal 9"},
    // Channels that fit nothing are handed through untouched.
    {"NoStartWord",
     "hello",
     "",
     exited(0),
     false,
     OutcomeKind::Unrecognised,
     {},
     "hello",
     "",
     "unrecognised report from dorq (exit status 0): no status word 0 on standard output"},
    {"FrameDisagreesWithExit",
     "\x07",
     frame(7),
     exited(3),
     false,
     OutcomeKind::Unrecognised,
     {},
     "\x07",
     frame(7),
     "unrecognised report from dorq (exit status 3): frame 7 but exit status 3"},
    {"WordsDoNotFitFrame",
     "\x07\x07",
     frame(7),
     exited(7),
     false,
     OutcomeKind::Unrecognised,
     {},
     "\x07\x07",
     frame(7),
     "unrecognised report from dorq (exit status 7): status words 2 byte(s) do not fit frame 7"},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, DecodeRow, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

TEST(ClientDecode, FramesMustEndStandardError) {
  // A frame followed by anything is not the report's frame.
  TrailingFrames none = splitTrailingFrames(frame(7) + "\n");
  EXPECT_TRUE(none.codes.empty());
  // A damaged frame is not one either, and hides nothing before it.
  none = splitTrailingFrames("!@#--!@#7x#@!--#@!");
  EXPECT_TRUE(none.codes.empty());
  EXPECT_EQ(none.before, "!@#--!@#7x#@!--#@!");
  none = splitTrailingFrames("!@#--!@##@!--#@!");
  EXPECT_TRUE(none.codes.empty());

  const std::string err = "job said hi\n" + frame(10) + frame(11);
  const TrailingFrames two = splitTrailingFrames(err);
  EXPECT_EQ(two.codes, (std::vector<int>{10, 11}));
  EXPECT_EQ(two.before, "job said hi\n");
  EXPECT_EQ(splitTrailingFrames(frame(-1)).codes, std::vector<int>{-1});
  EXPECT_EQ(splitTrailingFrames(std::string(kFrameClose)).codes, std::vector<int>{});
}

TEST(ClientDecode, ChildPidRecord) {
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID4242DORQ_CHILD_PID"), 4242);
  EXPECT_EQ(parseChildPidRecord(""), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PIDDORQ_CHILD_PID"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID42"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID4x2DORQ_CHILD_PID"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID0DORQ_CHILD_PID"), std::nullopt);
  EXPECT_EQ(parseChildPidRecord("DORQ_CHILD_PID99999999999DORQ_CHILD_PID"), std::nullopt);

  // Without a record the line leaves the pid out.
  DorqChannels channels;
  const std::string out("\0"s);
  channels.out = out;
  channels.waitStatus = exited(0);
  EXPECT_EQ(describeOutcome(decodeDorqRun(channels)), "started, exit status 0");
}

TEST(ClientRequest, OneLinePerFieldThenTheArguments) {
  RequestFields fields;
  fields.user = "alice";
  fields.password = "her password";
  fields.flags = 6;
  fields.command = "/bin/sh";
  fields.args = {"-c", "", "echo hi"};
  std::string problem;
  EXPECT_EQ(buildRequestRecord(fields, &problem),
            "alice\nher password\n6\n/bin/sh\n3\n-c\n\necho hi\n");
  fields.args.clear();
  EXPECT_EQ(buildRequestRecord(fields, &problem), "alice\nher password\n6\n/bin/sh\n0\n");
}

TEST(ClientRequest, RefusesFieldsThatCannotTravelOnOneLine) {
  const std::string longest(kMaxRequestLine, 'a');
  const std::string tooLong(kMaxRequestLine + 1, 'a');
  const std::string withNul("a\0b"s);
  struct Case {
    std::string password;
    std::string arg;
    bool ok;
  };
  const Case cases[] = {
      {"pw", longest, true}, {"pw", tooLong, false}, {longest, "x", true},  {tooLong, "x", false},
      {"p\nw", "x", false},  {"pw", "a\nb", false},  {withNul, "x", false},
  };
  for (const Case& c : cases) {
    RequestFields fields;
    fields.user = "alice";
    fields.password = c.password;
    fields.command = "/bin/true";
    fields.args = {c.arg};
    std::string problem;
    const std::optional<std::string> record = buildRequestRecord(fields, &problem);
    EXPECT_EQ(record.has_value(), c.ok) << problem;
    EXPECT_EQ(problem.empty(), c.ok) << problem;
  }
}

TEST(ClientRequest, PasswordIsTheFirstLine) {
  EXPECT_EQ(firstLine("secret\nrest\n"), "secret");
  EXPECT_EQ(firstLine("secret"), "secret");
  EXPECT_EQ(firstLine("\n"), "");
  EXPECT_EQ(firstLine("pass word\r\n"), "pass word\r");
}

}  // namespace
}  // namespace dorq_client
