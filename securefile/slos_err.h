// The error record of the file layers: caller-owned, fixed-size, filled only
// on failure by the step that failed.
#ifndef DORQ_SECUREFILE_SLOS_ERR_H
#define DORQ_SECUREFILE_SLOS_ERR_H

#include <stddef.h>
#include <stdint.h>

// Field limits in characters; each field holds one more byte for its NUL.
inline constexpr size_t kSlosMessageMax = 32;
inline constexpr size_t kSlosRoutineMax = 12;
inline constexpr size_t kSlosOtherInfoMax = 160;

struct slosErrRec {
  int32_t code;  // 0 no error; negative: class of failure (kSlosErr*)
  char message[kSlosMessageMax + 1];
  char routine[kSlosRoutineMax + 1];
  char otherInfo[kSlosOtherInfoMax + 1];
  int32_t osError;  // errno passed on by the failing step, or 0
};

// Error classes.
inline constexpr int32_t kSlosErrNone = 0;
inline constexpr int32_t kSlosErrRelative = -1;   // path not absolute
inline constexpr int32_t kSlosErrAccess = -3;     // EACCES on open
inline constexpr int32_t kSlosErrBadHandle = -4;  // EBADF, or not a directory
inline constexpr int32_t kSlosErrNotFound = -5;   // ENOENT, no file, no path
inline constexpr int32_t kSlosErrNoSpace = -6;    // ENOSPC on open
inline constexpr int32_t kSlosErrSystem = -8;     // any other OS or memory failure
inline constexpr int32_t kSlosErrRefused = -9;    // refused by a check
inline constexpr int32_t kSlosErrTooLong = -11;   // too long or too deep

// Prepares a record for first use: code 0 and an empty otherInfo.
void slosInitErr(slosErrRec* record);
// Stores code and osError and copies message and routine by the copy rule;
// otherInfo is left as it is.
void slosFillErr(slosErrRec* record, int32_t code, int32_t osError, const char* message,
                 const char* routine);
// Copies text into otherInfo by the copy rule; the other fields are left.
void slosOtherInfo(slosErrRec* record, const char* text);

#endif  // DORQ_SECUREFILE_SLOS_ERR_H
