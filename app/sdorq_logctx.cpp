// The driver's logging-context hooks and the process id used for trace names.
#include <unistd.h>

#include "app/dorq_trace.h"

// The hooks keep nothing: the logging settings are read for the scheduler's
// sake but have no effect on this program.
void sdorqSetupLogCtxt(const char* logProperty, const char* logFilePath) {
  (void)logProperty;
  (void)logFilePath;
}

void sdorqCloseLogCtxt() {}

int sdorqGetCurrentPid() {
  return static_cast<int>(getpid());
}
