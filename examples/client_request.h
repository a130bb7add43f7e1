// Building dorq's request record on the scheduler's side: one line each for
// the user, the password, the flags word, the command and the argument count,
// then one line per argument.
#ifndef DORQ_EXAMPLES_CLIENT_REQUEST_H
#define DORQ_EXAMPLES_CLIENT_REQUEST_H

#include <stddef.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorq_client {

// dorq takes at most this many characters on a request line and refuses a
// longer one with status 4; the client refuses it before dorq sees it.
inline constexpr size_t kMaxRequestLine = 131068;

// Bits of the flags word.
inline constexpr int kFlagKeepStderr = 1;    // the job's stderr stays apart from its stdout
inline constexpr int kFlagStatusWords = 2;   // status words on standard output
inline constexpr int kFlagBlockingWait = 4;  // blocking wait instead of polling

struct RequestFields {
  std::string_view user;
  std::string_view password;
  int flags = kFlagStatusWords;
  std::string_view command;  // a path, or "kill"
  std::vector<std::string_view> args;
};

// The record, or nullopt with `problem` set when a field cannot travel on one
// line: it holds a newline or a NUL byte, or is longer than kMaxRequestLine.
std::optional<std::string> buildRequestRecord(const RequestFields& fields, std::string* problem);

// The first line of `text` without its newline: how a password file or the
// client's standard input gives the password.
std::string_view firstLine(std::string_view text);

}  // namespace dorq_client

#endif  // DORQ_EXAMPLES_CLIENT_REQUEST_H
