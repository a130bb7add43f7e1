// The request driver: command line, request record, logging settings, and
// the outcome on the three channels.
#ifndef DORQ_APP_DRIVER_DORQ_DRIVER_H
#define DORQ_APP_DRIVER_DORQ_DRIVER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <array>

#include "app/base/dorq_status.h"
#include "port/unique_handle.h"

// The option words, in table order.
inline constexpr std::array<const char*, 3> dorqTraceArgKeywordArr = {"-trcfile", "-trclvl",
                                                                      "-childpidfile"};

// Each request line is read into its own zero-filled buffer of this size; a
// line may hold at most kRequestLineMax characters before its newline, and a
// longer one is refused with status 4.
inline constexpr size_t kRequestLineBuffer = 0x1FFFE;
inline constexpr size_t kRequestLineMax = kRequestLineBuffer - 2;

// Logging settings: 1024 bytes of value and a terminator.
inline constexpr size_t kLogSettingBuffer = 1025;

// The request record, owned by the driver. The vector borrows the command
// path in slot 0 and owns nothing: the argument lines are released from it
// slot by slot.
struct DorqRequest {
  char* user;
  char* password;
  size_t passwordExtent;  // the bytes of the password's buffer its line took
  char* path;
  int flags;
  char** argv;
  uint32_t slots;  // number of slots in argv, terminator included
};

// The request record's owner: released (the password wiped first) exactly
// once, on every path.
struct RequestTraits {
  using Handle = DorqRequest*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle request);
};
using RequestOwner = UniqueHandle<RequestTraits>;

// The whole driver; returns the exit status.
int dorqmain(int argc, char** argv);
// Reads the options into the trace and child-pid state: 0 or 20.
DorqStatus dorqParseArgs(int argc, char** argv);
// The reason word of a request refused for its argument count of -2.
inline constexpr char kReasonBadArgumentCount[] = "bad-argument-count";

// Reads the request record from `in`: 0, 2, 3 or 4. On failure everything read
// so far is released, and *reason is the word the log gives the refusal, or
// null for the status's own.
DorqStatus dorqReadRequest(FILE* in, DorqRequest* request, const char** reason);
// Clears every byte the password's line took in its buffer (its whole
// extent, NUL bytes inside it included); the request may still be released
// afterwards.
void dorqWipePassword(DorqRequest* request);
// Releases the request (the password wiped first) in the order user, password, path, argument
// lines, vector; safe on a partly filled or empty record.
void dorqReleaseRequest(DorqRequest* request);
// Looks up the logging settings and hands them to the logging-context hook.
void dorqSetupLogging();

#endif  // DORQ_APP_DRIVER_DORQ_DRIVER_H
