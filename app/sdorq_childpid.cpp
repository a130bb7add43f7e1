// The child pid record: on a descriptor the caller handed down, framed, or in
// a file, bare.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "app/dorq_numbers.h"
#include "app/dorq_trace.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"
#include "app/sdorq_run.h"
#include "port/unique_handle.h"

namespace {

constexpr const char* kTraceUnit = "sdorq";
constexpr size_t kPidTextBuffer = 128;
constexpr char kPidFrame[] = "DORQ_CHILD_PID";
constexpr mode_t kPidFileMode = 0660;

void writeText(int fd, const char* text) {
  // Failures to write are ignored: the record is a convenience for the caller.
  (void)!write(fd, text, strlen(text));
}

// A text that begins with a number names a descriptor dorq inherited; it is
// written to and closed. A number that names no inherited descriptor (one
// that a PAM module left open, say) is left alone.
void recordOnDescriptor(int fd, pid_t child) {
  if (!sdorqWasInherited(fd)) {
    return;
  }
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%s%d%s", kPidFrame, static_cast<int>(child), kPidFrame);
  writeText(fd, text);
  close(fd);
}

// Otherwise it is a file, written from its start without truncation. It is
// opened with the caller's own filesystem identity, so it lands only where
// the caller could have written it itself, and it must be the caller's own
// regular file (see sdorqOpenAsCaller).
void recordInFile(const char* name, pid_t child) {
  DORQ_TRACE(kTraceExec, kRunFunction, "Openning file %s", name);
  const UniqueFd fd = sdorqOpenAsCaller(name, /*append=*/false, kPidFileMode);
  if (!fd.valid()) {
    return;
  }
  char text[kPidTextBuffer] = {};
  snprintf(text, sizeof text, "%d", static_cast<int>(child));
  writeText(fd.get(), text);
}

}  // namespace

void sdorqRecordChildPid(pid_t child) {
  if (dorqChildPidFile == nullptr) {
    return;
  }
  if (const auto fd = dorqScanDecimal(dorqChildPidFile)) {
    recordOnDescriptor(*fd, child);
  } else {
    recordInFile(dorqChildPidFile, child);
  }
}
