// The trace writer: one line, with its time-stamped header, to each sink that
// the level word selects: standard error, the per-process trace file and
// standard output.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/dorq_trace.h"
#include "port/slgtd.h"
#include "port/ss_wrappers.h"
#include "port/unique_fd.h"
#include "port/unique_stream.h"

namespace {

constexpr const char* kHeaderFormat = "SCHED %02d-%02d %02d:%02d:%02d.%03d %d %s:%d(%s)";

// The trace file is never written through a link and never waits for a
// reader; its descriptor must not reach the job that the program executes.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
constexpr int kCreateMode = 0644;
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* kStreamMode = "w";  // the descriptor's append flag keeps writes at the end

// Where a line comes from, and when it was written (the same in every sink).
struct LineOrigin {
  const char* file;
  int line;
  const char* function;
  const slgtdStamp* stamp;
};

bool levelHas(uint32_t sink) {
  return (static_cast<uint32_t>(dorqTraceLevel) & sink) != 0;
}

// Header, message and newline, each with its own print. The message is
// formatted from a copy of the argument list of this sink's own, so that every
// sink formats it from the start. The process id is read here, for each sink.
__attribute__((format(printf, 3, 0))) void printLine(FILE* stream, const LineOrigin& origin,
                                                     const char* format, va_list arguments) {
  const slgtdStamp& s = *origin.stamp;
  (void)fprintf(stream, kHeaderFormat, s.month, s.day, s.hour, s.minute, s.second, s.millisecond,
                static_cast<int>(getpid()), origin.file, origin.line, origin.function);
  va_list copy;
  va_copy(copy, arguments);
  // The analyzer of clang-tidy 14 loses track of va_copy when it has seen
  // va_list calls in an earlier file of the same run, and then takes copy
  // for uninitialised.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  (void)vfprintf(stream, format, copy);
  va_end(copy);
  (void)fprintf(stream, "\n");
}

enum class FileSink {
  kWritten,
  kRefused,       // no safe regular file could be opened: the line skips standard output too
  kStreamFailed,  // no stream for the descriptor: only the file misses the line
};

// The status taken before the open and the one of the opened descriptor name
// the same file: type and permission bits, inode and device all equal.
bool sameFile(const struct stat& before, const struct stat& after) {
  return before.st_mode == after.st_mode && before.st_ino == after.st_ino &&
         before.st_dev == after.st_dev;
}

// Opens the trace file for one line: created when missing, otherwise opened
// for appending only when it is a regular file that is still the one that was
// examined. An invalid descriptor means the line stays out of the file.
UniqueFd openTraceFile(const char* path) {
  struct stat before {};
  if (lstat(path, &before) != 0) {
    if (errno != ENOENT) {
      return UniqueFd();
    }
    return UniqueFd(ssOswOpen(path, kCreateFlags, kCreateMode));
  }
  // Links (to anything), directories, devices and pipes are refused.
  if (!S_ISREG(before.st_mode)) {
    return UniqueFd();
  }
  UniqueFd fd(ssOswOpen(path, kAppendFlags, 0));
  if (!fd.valid()) {
    return fd;
  }
  struct stat after {};
  if (fstat(fd.get(), &after) != 0 || !sameFile(before, after)) {
    return UniqueFd();  // fd is closed on the way out
  }
  return fd;
}

// The path in dorqTraceFile, or null when the buffer holds no terminated text.
const char* traceFilePath() {
  return memchr(dorqTraceFile, '\0', sizeof dorqTraceFile) != nullptr ? dorqTraceFile : nullptr;
}

// Opens, appends one line to and closes the trace file.
__attribute__((format(printf, 2, 0))) FileSink appendToTraceFile(const LineOrigin& origin,
                                                                 const char* format,
                                                                 va_list arguments) {
  const char* const path = traceFilePath();
  if (path == nullptr) {
    return FileSink::kRefused;
  }
  UniqueFd fd = openTraceFile(path);
  if (!fd.valid()) {
    return FileSink::kRefused;
  }
  UniqueStream stream(ssOswFdopen(fd.get(), kStreamMode));
  if (!stream.valid()) {
    return FileSink::kStreamFailed;  // fd is closed on the way out
  }
  (void)fd.release();  // the stream owns the descriptor now
  printLine(stream.get(), origin, format, arguments);
  (void)stream.close();
  return FileSink::kWritten;
}

}  // namespace

void sdorqTrace(unsigned mask, const char* file, int line, const char* function, const char* format,
                va_list arguments) {
  (void)mask;
  // Tracing never disturbs its caller, not even through errno.
  const int savedErrno = errno;
  slgtdErr clockError{};
  slgtdStamp stamp{};  // all zero when the clock cannot be read
  (void)slgtd(&clockError, &stamp);
  const LineOrigin origin{file, line, function, &stamp};

  if (levelHas(kTraceSinkStderr)) {
    printLine(stderr, origin, format, arguments);
  }
  bool serveStdout = true;
  if (levelHas(kTraceSinkFile) && dorqTraceFilel != 0) {
    serveStdout = appendToTraceFile(origin, format, arguments) != FileSink::kRefused;
  }
  if (serveStdout && levelHas(kTraceSinkStdout)) {
    printLine(stdout, origin, format, arguments);
  }
  errno = savedErrno;
}
