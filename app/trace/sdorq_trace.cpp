// The trace writer: one line, with its time-stamped header, to each sink that
// the level word selects: standard error, the per-process trace file and
// standard output.
//
// A line is built whole in one buffer and reaches each sink in a single
// write, so lines of dorq and of its child never interleave. The message is
// escaped as a whole: dorq's own texts hold no control character and no
// backslash, so what changes is exactly the text that came from outside
// (option values, request lines, paths, PAM messages), and every line starts
// with its header and ends with its one newline.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "app/base/dorq_escape.h"
#include "app/trace/dorq_trace.h"
#include "app/base/sdorq_identity.h"
#include "port/slgtd.h"
#include "port/unique_handle.h"

namespace {

constexpr const char* kHeaderFormat = "SCHED %02d-%02d %02d:%02d:%02d.%03d %d %s:%d(%s)";
constexpr mode_t kCreateMode = 0644;
constexpr int kStderr = 2;
constexpr int kStdout = 1;

// A line is at most kTraceLineBuffer bytes, its newline included; a longer
// one is cut, never split, before the escape that would not fit.
constexpr size_t kTraceLineBuffer = 8192;

struct TraceLine {
  char text[kTraceLineBuffer];
  size_t length;
};

bool levelHas(uint32_t sink) {
  return (static_cast<uint32_t>(dorqTraceLevel) & sink) != 0;
}

// Header, escaped message and newline. The header fits by far: its texts are
// dorq's own names.
__attribute__((format(printf, 5, 0))) void buildLine(TraceLine* line, const char* file, int number,
                                                     const char* function, const char* format,
                                                     va_list arguments) {
  slgtdErr clockError{};
  slgtdStamp s{};  // all zero when the clock cannot be read
  (void)slgtd(&clockError, &s);
  const int header =
      snprintf(line->text, kTraceLineBuffer, kHeaderFormat, s.month, s.day, s.hour, s.minute,
               s.second, s.millisecond, static_cast<int>(getpid()), file, number, function);
  line->length = header < 0 ? 0 : static_cast<size_t>(header);
  if (line->length > kTraceLineBuffer - 1) {
    line->length = kTraceLineBuffer - 1;
  }
  char message[kTraceLineBuffer];
  va_list copy;
  va_copy(copy, arguments);
  // The analyzer of clang-tidy 14 loses track of va_copy when it has seen
  // va_list calls in an earlier file of the same run, and then takes copy
  // for uninitialised.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  if (vsnprintf(message, sizeof message, format, copy) < 0) {
    message[0] = '\0';
  }
  va_end(copy);
  // Room is left for the newline.
  line->length += dorqEscape(
      message, std::span<char>(line->text + line->length, kTraceLineBuffer - 1 - line->length));
  line->text[line->length++] = '\n';
}

// One write of the whole line; write errors are not detected.
void writeLine(int fd, const TraceLine& line) {
  ssize_t written = 0;
  do {
    written = write(fd, line.text, line.length);
  } while (written < 0 && errno == EINTR);
}

// The path in dorqTraceFile, or null when the buffer holds no terminated text.
const char* traceFilePath() {
  return memchr(dorqTraceFile, '\0', sizeof dorqTraceFile) != nullptr ? dorqTraceFile : nullptr;
}

// Opens, appends the line to and closes the trace file: created when
// missing, otherwise only the caller's own regular file that is still the
// one examined. False when no such file could be opened.
bool appendToTraceFile(const AsCaller& asCaller, const TraceLine& line) {
  const char* const path = traceFilePath();
  if (path == nullptr) {
    return false;
  }
  const UniqueFd fd = sdorqOpenAsCaller(asCaller, path, /*append=*/true, kCreateMode);
  if (!fd.valid()) {
    return false;
  }
  writeLine(fd.get(), line);
  return true;
}

}  // namespace

void sdorqTrace(unsigned mask, const char* file, int line, const char* function, const char* format,
                va_list arguments) {
  (void)mask;
  // Tracing never disturbs its caller, not even through errno.
  const int savedErrno = errno;
  TraceLine text;
  buildLine(&text, file, line, function, format, arguments);
  // Every sink is written as the caller: its quotas, its reserved space.
  const AsCaller asCaller;
  if (!asCaller.active()) {
    errno = savedErrno;
    return;
  }
  if (levelHas(kTraceSinkStderr)) {
    writeLine(kStderr, text);
  }
  // A trace file that cannot be opened safely costs the line its standard
  // output sink as well.
  bool serveStdout = true;
  if (levelHas(kTraceSinkFile) && dorqTraceFilel != 0) {
    serveStdout = appendToTraceFile(asCaller, text);
  }
  if (serveStdout && levelHas(kTraceSinkStdout)) {
    writeLine(kStdout, text);
  }
  errno = savedErrno;
}
