// The scheduler's side of dorq's report: what one run left on its channels
// (standard output, standard error, the child pid record and the wait status),
// split into dorq's status words, its status frame and the job's own output,
// and turned into one outcome.
//
// The rules this follows: a run that ends with a status code writes exactly one
// frame (two when the child failed and waiting for it failed too), and it is
// the last text on standard error; a started command writes no frame. With
// flags value 2, the status words on standard output are, by outcome:
//   started, exit status s        0 (somewhere in the job's output)   no frame
//   kill request sent             0                                    no frame
//   refused before authentication none                                 frame 2, 3, 4, 20
//   authentication failed         the code                             frame 5, 7, 16, 21
//   child failed before the exec  10, 0                                child's frame 7, 8, 10, 13
//   child kept no stderr copy     0                                    child's frame 13
//   job pipe / fork failed        10, 10 / 9, 9                        frame 10 / 9
//   killed by a signal            0 ... 12                             frame 12
//   waiting failed                0 ... 11 (or 10, 0, 11)              frame 11
//   kill request failed           14, 14                               frame 14
// The status word 0 of a started command can land anywhere in the job's
// output (the command may write before dorq writes the word): the decoder
// removes the first byte 0, which is right unless the job itself writes a NUL
// byte before the word arrives.
#ifndef DORQ_EXAMPLES_CLIENT_DECODE_H
#define DORQ_EXAMPLES_CLIENT_DECODE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorq_client {

inline constexpr std::string_view kFrameOpen = "!@#--!@#";
inline constexpr std::string_view kFrameClose = "#@!--#@!";
inline constexpr std::string_view kPidMarker = "DORQ_CHILD_PID";

// What came back from one run of dorq that asked for status words.
struct DorqChannels {
  std::string_view out;        // dorq's standard output
  std::string_view err;        // dorq's standard error
  std::string_view pidRecord;  // what arrived on the -childpidfile descriptor
  int waitStatus = 0;          // as waitpid gave it for dorq
  bool killRequest = false;    // the command line of the request was "kill"
};

enum class OutcomeKind {
  Finished,       // the command ran and exited; exitStatus is its status
  Signalled,      // 12: the command ended through a signal
  WaitFailed,     // 11: dorq could not wait for the command
  KillSent,       // the kill request was carried out
  KillFailed,     // 14
  Refused,        // 2, 3, 4, 20: refused before authentication
  AuthFailed,     // 5, 7, 16, 21
  StartFailed,    // 7, 8, 9, 10, 13: the command never started
  DorqSignalled,  // dorq itself ended through a signal
  Unrecognised,   // the channels fit no outcome dorq produces
};

struct DorqOutcome {
  OutcomeKind kind = OutcomeKind::Unrecognised;
  int code = 0;             // dorq's status code; 0 for Finished and KillSent
  int exitStatus = 0;       // dorq's exit status (the command's own for Finished)
  int signal = 0;           // DorqSignalled: the signal that ended dorq
  bool started = false;     // the command replaced dorq's child
  std::optional<int> pid;   // the job's process id, from the child pid record
  std::vector<int> words;   // the status words, in order
  std::vector<int> frames;  // the codes of the trailing frames, in order
  std::string_view reason;  // the status code's meaning, such as "authentication failed"
  std::string jobOut;       // standard output without the status words
  std::string jobErr;       // standard error without the frames
  std::string detail;       // Unrecognised: what did not fit
};

// Parses "DORQ_CHILD_PID<pid>DORQ_CHILD_PID"; nullopt for anything else.
std::optional<int> parseChildPidRecord(std::string_view record);

// The frames at the very end of `err` (codes in order) and the text before them.
struct TrailingFrames {
  std::vector<int> codes;
  std::string_view before;  // a view into the text given
};
TrailingFrames splitTrailingFrames(std::string_view err);

DorqOutcome decodeDorqRun(const DorqChannels& channels);

// One line for a person: "started, pid 4242, exit status 0",
// "authentication failed (7)", "command could not be executed (10)", ...:
// for a status code its meaning, and the name of a signal where one is known.
std::string describeOutcome(const DorqOutcome& outcome);

}  // namespace dorq_client

#endif  // DORQ_EXAMPLES_CLIENT_DECODE_H
