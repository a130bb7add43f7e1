// SlfFclose: closes what an open handed out and always releases the handle.
#include <errno.h>
#include <stdio.h>

#include "port/ss_wrappers.h"
#include "securefile/slf_file.h"
#include "securefile/slf_handle.h"
#include "securefile/lfv.h"

namespace {

constexpr const char* kCloseMessage = "fclose failed";
constexpr const char* kCloseRoutine = "SlfFclose1";

bool isStandardStream(const FILE* stream) {
  return stream == stdin || stream == stdout || stream == stderr;
}

}  // namespace

int SlfFclose(SlfFile* handle, slosErrRec* record, int /*reserved*/) {
  if (handle == nullptr) {
    slosFillErr(record, kSlosErrBadHandle, 0, kCloseMessage, kCloseRoutine);
    return -1;
  }
  if (handle->isVfs != 0) {
    const int result = lfvclose(static_cast<lfvHandle*>(handle->stream));
    slfFreeHandle(handle);
    return result;
  }
  auto* stream = static_cast<FILE*>(handle->stream);
  if (isStandardStream(stream)) {
    // Handed out by kind 2, 3 or 4: the process keeps it open.
    slfFreeHandle(handle);
    return 0;
  }
  const int closed = ssOswFclose(stream);
  const int error = errno;
  slfFreeHandle(handle);
  if (closed == -1) {
    slosFillErr(record, error == EBADF ? kSlosErrBadHandle : kSlosErrSystem, error, kCloseMessage,
                kCloseRoutine);
    return -1;
  }
  return 0;
}
