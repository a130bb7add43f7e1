// SlfFgts: one line, or one piece of a long line, from an open handle.
#include <errno.h>
#include <stdio.h>

#include "securefile/slf_file.h"

namespace {

constexpr const char* kReadMessage = "fgets failed";
constexpr const char* kReadRoutine = "SlfFgets1";

}  // namespace

// Reads C streams only. A file-location handle (or none at all) is refused
// as a bad handle, with no operating-system error to pass on.
int SlfFgts(SlfFile* handle, char* buf, int size, slosErrRec* record, int /*reserved*/) {
  if (handle == nullptr || handle->isVfs != 0) {
    slosFillErr(record, kSlosErrBadHandle, 0, kReadMessage, kReadRoutine);
    return -1;
  }
  FILE* stream = static_cast<FILE*>(handle->stream);
  if (fgets(buf, size, stream) != nullptr) {
    return 0;
  }
  if (feof(stream) != 0) {
    return -2;  // end of file is not a failure: the record stays as it is
  }
  const int error = errno;
  slosFillErr(record, error == EBADF ? kSlosErrBadHandle : kSlosErrSystem, error, kReadMessage,
              kReadRoutine);
  return -1;
}
