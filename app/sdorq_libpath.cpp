// The job's library path: the installation's lib32 and lib below
// ZANTIX_HOME, then LD_LIBRARY_PATH_SDORQ when it is set.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/dorq_trace.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"
#include "settings/slzgetevar.h"

namespace {

constexpr const char* kTraceUnit = "sdorq";
constexpr char kWithExtra[] = "LD_LIBRARY_PATH=%s/lib32:%s/lib:%s";
constexpr char kHomeOnly[] = "LD_LIBRARY_PATH=%s/lib32:%s/lib";
// Room for the fixed text of each format and its terminator.
constexpr size_t kWithExtraFixed = 30;
constexpr size_t kHomeOnlyFixed = 15;

// Looks name up into value (kLibPathValueMax + 1 zero-filled bytes) and
// terminates it; returns the length, 0 when not set.
size_t lookUp(const char* name, char* value) {
  uint32_t error = 0;
  const int32_t length = slzgetevar(&error, name, strlen(name), value, kLibPathValueMax, 0);
  if (length <= 0) {
    return 0;
  }
  value[length] = '\0';
  return static_cast<size_t>(length);
}

}  // namespace

void sdorqSetJobLibraryPath() {
  char extra[kLibPathValueMax + 1] = {};
  char home[kLibPathValueMax + 1] = {};
  size_t extraLength = 0;
  size_t homeLength = 0;
  {
    // Should the settings file not have been read yet, it is read with the
    // caller's rights, as its place comes from the caller's environment.
    const CallerFilesystemIdentity caller;
    if (caller.active()) {
      extraLength = lookUp(kLibPathExtraName, extra);
      homeLength = lookUp(kHomeName, home);
    }
  }
  if (homeLength == 0) {
    return;
  }
  const size_t size = extraLength > 0 ? extraLength + kWithExtraFixed + 2 * homeLength
                                      : 2 * (homeLength + kHomeOnlyFixed);
  // The environment keeps this text for the rest of the process.
  auto* text = static_cast<char*>(malloc(size));
  if (text == nullptr) {
    DORQ_TRACE(kTraceExec, kRunFunction, "No memory for the library path; environment unchanged");
    return;
  }
  if (extraLength > 0) {
    snprintf(text, size, kWithExtra, home, home, extra);
  } else {
    snprintf(text, size, kHomeOnly, home, home);
  }
  if (putenv(text) != 0) {
    free(text);
  }
  // On success the environment owns text for the rest of the process.
}  // NOLINT(clang-analyzer-unix.Malloc)
