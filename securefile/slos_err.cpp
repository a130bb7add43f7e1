// The error record's fill routines.
#include "securefile/slos_err.h"

namespace {

// Copies src into a field of limit + 1 bytes: stops after the terminator or
// after limit bytes, then terminates the field at its last byte. Bytes after a
// short text's terminator keep what they held.
void copyField(char* field, size_t limit, const char* src) {
  for (size_t i = 0; i < limit; ++i) {
    field[i] = src[i];
    if (src[i] == '\0') {
      break;
    }
  }
  field[limit] = '\0';
}

}  // namespace

void slosInitErr(slosErrRec* record) {
  record->code = kSlosErrNone;
  record->otherInfo[0] = '\0';
}

void slosFillErr(slosErrRec* record, int32_t code, int32_t osError, const char* message,
                 const char* routine) {
  record->code = code;
  record->osError = osError;
  copyField(record->message, kSlosMessageMax, message);
  copyField(record->routine, kSlosRoutineMax, routine);
}

void slosOtherInfo(slosErrRec* record, const char* text) {
  copyField(record->otherInfo, kSlosOtherInfoMax, text);
}
