// Naming of the per-process trace file: the last part of the path given with
// -trcfile is replaced by "dorq_<pid>.trc", so that every process (the driver
// and the job it forks) writes a file of its own.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "app/trace/dorq_trace.h"

namespace {

constexpr const char* kTraceUnit = "dorq";
constexpr const char* kFunction = "dorqGenTraceFileName";

// Room kept after the copied name for "dorq_<pid>.trc" and its terminator:
// "dorq_" (5) + the widest int (11) + ".trc" (4) + terminator (1) = 21 <= 26.
// A name that leaves less room than this in the output is refused.
constexpr int64_t kFileNameReserve = 26;
constexpr char kUnderscore = '_';
// The file name takes the place of whatever follows the last-but-one
// underscore of the last path part.
constexpr int kUnderscoresToCut = 2;

// Where the file name goes in the copied name: right after whichever lies
// nearest to its end, the last separator or the last-but-one underscore
// (the first underscore met when the separator is itself the underscore);
// 0 when there is neither.
size_t cutPosition(std::string_view name, char separator) {
  int underscores = 0;
  for (size_t i = name.size(); i > 0; --i) {
    const char c = name[i - 1];
    if (c == separator) {
      return i;
    }
    if (c == kUnderscore && ++underscores == kUnderscoresToCut) {
      return i;
    }
  }
  return 0;
}

int leave(int result) {
  DORQ_TRACE(kTraceEntryExit, kFunction, "Exit with status %d", result);
  return result;
}

}  // namespace

int dorqGenTraceFileName(const char* name, int nameLength, char* out, int outSize, int pid,
                         char separator) {
  DORQ_TRACE(kTraceEntryExit, kFunction, "Enter");
  // Refusal: the name must leave kFileNameReserve bytes of the output free;
  // out is then left as it was. A negative length cannot be copied either.
  if (name == nullptr || out == nullptr || nameLength < 0 ||
      static_cast<int64_t>(nameLength) + kFileNameReserve > static_cast<int64_t>(outSize)) {
    return leave(0);
  }
  const auto length = static_cast<size_t>(nameLength);
  memcpy(out, name, length);
  const size_t cut = cutPosition(std::string_view(out, length), separator);
  // At least kFileNameReserve bytes remain after cut, so the name always fits.
  const size_t room = static_cast<size_t>(outSize) - cut;
  const int written = snprintf(out + cut, room, "dorq_%d.trc", pid);
  if (written < 0 || static_cast<size_t>(written) >= room) {
    return leave(0);
  }
  return leave(static_cast<int>(cut) + written);
}

int sdorqGetCurrentPid() {
  return static_cast<int>(getpid());
}
