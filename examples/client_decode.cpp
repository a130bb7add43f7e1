// Splitting dorq's channels into status words, frames and the job's output.
#include "examples/client_decode.h"

#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <array>
#include <charconv>
#include <initializer_list>

namespace dorq_client {

namespace {

// Status codes the decoder tells apart.
constexpr int kWaitFailed = 11;
constexpr int kSignalled = 12;
constexpr int kExecFailed = 10;
// The most digits a frame's code may have: an int's worth.
constexpr size_t kMaxCodeDigits = 11;
// By the shell convention, a shell whose command ended through signal n exits
// with 128 + n.
constexpr int kShellSignalBase = 128;

// Every status code dorq reports, and what it means, in one line.
struct StatusMeaning {
  int code;
  std::string_view meaning;
};

constexpr std::array<StatusMeaning, 16> kStatusMeanings = {{
    {0, "kill request sent: SIGKILL to the job's cgroup or process group"},
    {2, "request refused: no memory for it, or argument count -2"},
    {3, "request record ended early"},
    {4, "request line too long"},
    {5, "dorq is not installed set-user-ID root"},
    {7, "authentication failed"},
    {8, "could not take on the user's identity"},
    {9, "job process could not be created"},
    {10, "command could not be executed"},
    {11, "waiting for the command failed"},
    {12, "ended through a signal, named in dorq's audit line"},
    {13, "could not set up the job's standard error"},
    {14, "kill request failed"},
    {16, "PAM library could not be loaded"},
    {20, "bad command-line option"},
    {21, "PAM configuration refuses dorq the su service"},
}};

constexpr std::string_view meaningOf(int code) {
  for (const StatusMeaning& row : kStatusMeanings) {
    if (row.code == code) {
      return row.meaning;
    }
  }
  return {};
}

// "SIGKILL" for 9; "signal 40" for a number without a name.
std::string signalName(int number) {
  const char* abbreviation = sigabbrev_np(number);
  if (abbreviation == nullptr) {
    return "signal " + std::to_string(number);
  }
  return std::string("SIG") + abbreviation;
}

// One way a failed run that started no command can look: its frame code and
// the exact status words that go with it. `reason` names which of the code's
// causes the words show, where the code has more than one; else the code's
// meaning applies.
struct FailureRow {
  int code;
  std::array<int, 2> words;
  size_t wordCount;
  OutcomeKind kind;
  std::string_view reason;
};

constexpr std::array<FailureRow, 16> kFailureRows = {{
    {2, {}, 0, OutcomeKind::Refused, {}},
    {3, {}, 0, OutcomeKind::Refused, {}},
    {4, {}, 0, OutcomeKind::Refused, {}},
    {20, {}, 0, OutcomeKind::Refused, {}},
    {5, {5}, 1, OutcomeKind::AuthFailed, {}},
    {7, {7}, 1, OutcomeKind::AuthFailed, {}},
    {16, {16}, 1, OutcomeKind::AuthFailed, {}},
    {21, {21}, 1, OutcomeKind::AuthFailed, {}},
    {7, {10, 0}, 2, OutcomeKind::StartFailed, "user unknown to the account database"},
    {8, {10, 0}, 2, OutcomeKind::StartFailed, {}},
    {10, {10, 0}, 2, OutcomeKind::StartFailed, {}},
    {13, {10, 0}, 2, OutcomeKind::StartFailed, "could not join the job's stderr to its stdout"},
    {13, {0}, 1, OutcomeKind::StartFailed, "could not keep a copy of standard error"},
    {10, {10, 10}, 2, OutcomeKind::StartFailed, "job pipe could not be created"},
    {9, {9, 9}, 2, OutcomeKind::StartFailed, {}},
    {14, {14, 14}, 2, OutcomeKind::KillFailed, {}},
}};

// Every code the decoder reports has its meaning.
constexpr bool everyCodeHasAMeaning() {
  for (const FailureRow& row : kFailureRows) {
    if (meaningOf(row.code).empty()) {
      return false;
    }
  }
  return !meaningOf(0).empty() && !meaningOf(kWaitFailed).empty() && !meaningOf(kSignalled).empty();
}
static_assert(everyCodeHasAMeaning());

std::optional<int> parseCode(std::string_view text) {
  if (text.empty() || text.size() > kMaxCodeDigits) {
    return std::nullopt;
  }
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

std::vector<int> bytesOf(std::string_view text) {
  std::vector<int> bytes;
  bytes.reserve(text.size());
  for (const char c : text) {
    bytes.push_back(static_cast<unsigned char>(c));
  }
  return bytes;
}

bool rowMatches(const FailureRow& row, int code, std::string_view out) {
  if (row.code != code || row.wordCount != out.size()) {
    return false;
  }
  for (size_t i = 0; i < row.wordCount; ++i) {
    if (static_cast<unsigned char>(out[i]) != row.words[i]) {
      return false;
    }
  }
  return true;
}

// The job's output of a started command: standard output without the status
// word 0 (the first byte 0) and, when `trailingWord` is set, without the last
// byte, which the driver wrote after the command ended.
bool removeStartWord(std::string_view out, std::optional<int> trailingWord, DorqOutcome* outcome) {
  if (trailingWord) {
    if (out.empty() || static_cast<unsigned char>(out.back()) != *trailingWord) {
      outcome->detail = "no closing status word " + std::to_string(*trailingWord);
      return false;
    }
    out.remove_suffix(1);
  }
  const size_t word = out.find('\0');
  if (word == std::string_view::npos) {
    outcome->detail = "no status word 0 on standard output";
    return false;
  }
  outcome->jobOut.assign(out.substr(0, word));
  outcome->jobOut.append(out.substr(word + 1));
  outcome->words = {0};
  if (trailingWord) {
    outcome->words.push_back(*trailingWord);
  }
  outcome->started = true;
  return true;
}

// A run without a frame: the command ran, or the kill request was sent.
void decodeWithoutFrame(const DorqChannels& channels, DorqOutcome* outcome) {
  if (channels.killRequest) {
    if (channels.out == std::string_view("\0", 1) && outcome->exitStatus == 0) {
      outcome->kind = OutcomeKind::KillSent;
      outcome->words = {0};
      outcome->reason = meaningOf(0);
    } else {
      outcome->detail = "a kill request without a frame, but not status word 0 and exit status 0";
    }
    return;
  }
  if (removeStartWord(channels.out, std::nullopt, outcome)) {
    outcome->kind = OutcomeKind::Finished;
  }
}

// A run that ends with frames; the last frame's code is dorq's exit status.
void decodeWithFrames(const DorqChannels& channels, DorqOutcome* outcome) {
  const int code = outcome->frames.back();
  outcome->code = code;
  if (code != outcome->exitStatus) {
    outcome->detail =
        "frame " + std::to_string(code) + " but exit status " + std::to_string(outcome->exitStatus);
    return;
  }
  if (outcome->frames.size() == 2) {
    // The child failed, then waiting for it failed.
    if (code == kWaitFailed && bytesOf(channels.out) == std::vector<int>{kExecFailed, 0, code}) {
      outcome->kind = OutcomeKind::WaitFailed;
      outcome->words = bytesOf(channels.out);
      outcome->reason = "command could not be started, and waiting for it failed";
    } else {
      outcome->detail = "two frames, but not a failed start followed by a failed wait";
    }
    return;
  }
  for (const FailureRow& row : kFailureRows) {
    if (rowMatches(row, code, channels.out)) {
      outcome->kind = row.kind;
      outcome->words = bytesOf(channels.out);
      outcome->reason = row.reason.empty() ? meaningOf(code) : row.reason;
      return;
    }
  }
  if (code == kSignalled || code == kWaitFailed) {
    if (removeStartWord(channels.out, code, outcome)) {
      outcome->kind = code == kSignalled ? OutcomeKind::Signalled : OutcomeKind::WaitFailed;
      outcome->reason = meaningOf(code);
    }
    return;
  }
  outcome->detail = "status words " + std::to_string(channels.out.size()) +
                    " byte(s) do not fit frame " + std::to_string(code);
}

}  // namespace

std::optional<int> parseChildPidRecord(std::string_view record) {
  if (record.size() < 2 * kPidMarker.size() || !record.starts_with(kPidMarker) ||
      !record.ends_with(kPidMarker)) {
    return std::nullopt;
  }
  record.remove_prefix(kPidMarker.size());
  record.remove_suffix(kPidMarker.size());
  const std::optional<int> pid = parseCode(record);
  if (!pid || *pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

TrailingFrames splitTrailingFrames(std::string_view err) {
  TrailingFrames result;
  std::vector<int> reversed;
  while (err.ends_with(kFrameClose) && err.size() >= kFrameOpen.size() + kFrameClose.size()) {
    const size_t bodyEnd = err.size() - kFrameClose.size();
    const size_t open = err.rfind(kFrameOpen, bodyEnd - kFrameOpen.size());
    if (open == std::string_view::npos) {
      break;
    }
    const size_t codeAt = open + kFrameOpen.size();
    const std::optional<int> code = parseCode(err.substr(codeAt, bodyEnd - codeAt));
    if (!code) {
      break;
    }
    reversed.push_back(*code);
    err = err.substr(0, open);
  }
  result.codes.assign(reversed.rbegin(), reversed.rend());
  result.before = err;
  return result;
}

DorqOutcome decodeDorqRun(const DorqChannels& channels) {
  DorqOutcome outcome;
  outcome.pid = parseChildPidRecord(channels.pidRecord);
  if (WIFSIGNALED(channels.waitStatus)) {
    outcome.kind = OutcomeKind::DorqSignalled;
    outcome.signal = WTERMSIG(channels.waitStatus);
    outcome.jobOut.assign(channels.out);
    outcome.jobErr.assign(channels.err);
    return outcome;
  }
  if (!WIFEXITED(channels.waitStatus)) {
    outcome.detail = "dorq neither exited nor was killed";
    return outcome;
  }
  outcome.exitStatus = WEXITSTATUS(channels.waitStatus);
  const TrailingFrames frames = splitTrailingFrames(channels.err);
  outcome.frames = frames.codes;
  outcome.jobErr.assign(frames.before);
  if (outcome.frames.empty()) {
    decodeWithoutFrame(channels, &outcome);
  } else {
    decodeWithFrames(channels, &outcome);
  }
  if (outcome.kind == OutcomeKind::Unrecognised) {
    // Hand everything through untouched: nothing was understood.
    outcome.started = false;
    outcome.words.clear();
    outcome.jobOut.assign(channels.out);
    outcome.jobErr.assign(channels.err);
  }
  return outcome;
}

std::string describeOutcome(const DorqOutcome& outcome) {
  std::string line;
  if (outcome.started) {
    line = "started";
    if (outcome.pid) {
      line += ", pid " + std::to_string(*outcome.pid);
    }
    line += ", ";
  }
  switch (outcome.kind) {
    case OutcomeKind::Finished: {
      line += "exit status " + std::to_string(outcome.exitStatus);
      const int signal = outcome.exitStatus - kShellSignalBase;
      if (signal > 0 && signal <= SIGRTMAX) {
        line += " (" + signalName(signal) + " by the shell convention)";
      }
      return line;
    }
    case OutcomeKind::DorqSignalled:
      return "dorq ended through " + signalName(outcome.signal) + " (signal " +
             std::to_string(outcome.signal) + ")";
    case OutcomeKind::Unrecognised:
      return "unrecognised report from dorq (exit status " + std::to_string(outcome.exitStatus) +
             "): " + outcome.detail;
    default:
      return line + std::string(outcome.reason) + " (" + std::to_string(outcome.code) + ")";
  }
}

}  // namespace dorq_client
