// Status codes and the two ways they reach the scheduler besides the exit
// status: the status word (one byte on standard output) and the status frame
// (a framed decimal text on standard error, no newline).
#ifndef DORQ_APP_BASE_DORQ_STATUS_H
#define DORQ_APP_BASE_DORQ_STATUS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Every outcome of a run. The code is at once the exit status of a failed
// run, the status word (one byte) and the number in the frame.
enum class DorqStatus : uint8_t {
  Ok = 0,
  NoMemory = 2,     // line buffer or vector; count -2
  InputEnded = 3,   // stdin ended before a required line
  LineTooLong = 4,  // a line over 131068 characters
  NotSetUid = 5,    // effective user id is not 0
  AuthFailed = 7,   // not authenticated; unknown user
  Identity = 8,     // groups, gid or uid not set
  ForkFailed = 9,
  ExecFailed = 10,  // job pipe; exec; close-on-exec mark
  WaitFailed = 11,
  Signalled = 12,
  StderrCopy = 13,  // stderr duplicate or join
  KillFailed = 14,
  NoPam = 16,
  BadOption = 20,
  BadPamConf = 21,
};

// The one conversion of a status to the number it shows as.
constexpr int dorqStatusCode(DorqStatus status) {
  return static_cast<int>(status);
}

inline constexpr char kFrameOpen[] = "!@#--!@#";
inline constexpr char kFrameClose[] = "#@!--#@!";
#define DORQ_FRAME_FORMAT "%s%d%s"
// The driver's frame buffer; every code it writes has at most two digits.
inline constexpr size_t kFrameBuffer = 25;

// Writes the status as one byte to standard output and flushes it.
void sdorqWriteStatusWord(DorqStatus status);
// Formats the frame for code into a zero-filled buffer; returns its length.
int dorqFormatFrame(char (&buf)[kFrameBuffer], int code);
// The driver's frame: one block write to standard error, no explicit flush.
void dorqWriteFrame(DorqStatus status);

#endif  // DORQ_APP_BASE_DORQ_STATUS_H
