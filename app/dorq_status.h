// Status codes and the two ways they reach the scheduler besides the exit
// status: the status word (one byte on standard output) and the status frame
// (a framed decimal text on standard error, no newline).
#ifndef DORQ_APP_DORQ_STATUS_H
#define DORQ_APP_DORQ_STATUS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusNoMemory = 2;     // line buffer or vector; count -2
inline constexpr uint32_t kStatusInputEnded = 3;   // stdin ended before a required line
inline constexpr uint32_t kStatusLineTooLong = 4;  // a line over 131068 characters
inline constexpr uint32_t kStatusNotSetUid = 5;    // effective user id is not 0
inline constexpr uint32_t kStatusAuthFailed = 7;   // not authenticated; unknown user
inline constexpr uint32_t kStatusIdentity = 8;     // groups, gid or uid not set
inline constexpr uint32_t kStatusForkFailed = 9;
inline constexpr uint32_t kStatusExecFailed = 10;  // job pipe; exec; close-on-exec mark
inline constexpr uint32_t kStatusWaitFailed = 11;
inline constexpr uint32_t kStatusSignalled = 12;
inline constexpr uint32_t kStatusStderrCopy = 13;  // stderr duplicate or join
inline constexpr uint32_t kStatusKillFailed = 14;
inline constexpr uint32_t kStatusNoPam = 16;
inline constexpr uint32_t kStatusBadOption = 20;
inline constexpr uint32_t kStatusBadPamConf = 21;

inline constexpr char kFrameOpen[] = "!@#--!@#";
inline constexpr char kFrameClose[] = "#@!--#@!";
#define DORQ_FRAME_FORMAT "%s%d%s"
// The driver's frame buffer; every code it writes has at most two digits.
inline constexpr size_t kFrameBuffer = 25;

// Writes the low 8 bits of code as one byte to standard output and flushes it.
void sdorqWriteStatusWord(int code);
// Formats the frame for code into a zero-filled buffer; returns its length.
int dorqFormatFrame(char (&buf)[kFrameBuffer], int code);
// The driver's frame: one block write to standard error, no explicit flush.
void dorqWriteFrame(int code);

#endif  // DORQ_APP_DORQ_STATUS_H
