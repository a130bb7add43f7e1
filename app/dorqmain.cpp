// The driver: one run serves one request, in a fixed order.
#include <stdio.h>
#include <string.h>

#include "app/dorq_driver.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_auth.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_run.h"

namespace {

// Authentication, then the command or the kill request.
uint32_t serve(DorqRequest* request, int* exitStatus) {
  uint32_t status = sdorqAuthenticateUser(request->user, request->password);
  // The password is needed no more; no copy of it lives past this point.
  dorqWipePassword(request);
  if (status == kStatusOk) {
    status = sdorqRunCommandAsUser(request->path, request->argv, request->user, request->flags,
                                   exitStatus);
  }
  return status;
}

// The audit line of a request that was read: the job's start has written it
// already, so this one records every other outcome.
void audit(const DorqRequest& request, uint32_t status) {
  const bool kill = strcmp(request.path, kKillWord) == 0;
  const char* first = request.slots > 1 ? request.argv[1] : nullptr;
  sdorqAudit({request.user, request.path, kill ? (first != nullptr ? first : "") : nullptr,
              request.slots > 1 ? request.slots - 2 : 0, 0, status});
}

// Failures of parsing and intake end with the frame alone.
int reportIntakeFailure(uint32_t status) {
  sdorqAudit({nullptr, nullptr, nullptr, 0, 0, status});
  sdorqCloseLogCtxt();
  dorqWriteFrame(static_cast<int>(status));
  return static_cast<int>(status);
}

}  // namespace

int dorqmain(int argc, char** argv) {
  uint32_t status = dorqParseArgs(argc, argv);
  if (status != kStatusOk) {
    return reportIntakeFailure(status);
  }
  DorqRequest request{};
  status = dorqReadRequest(stdin, &request);
  if (status != kStatusOk) {
    return reportIntakeFailure(status);
  }
  dorqSetupLogging();

  int exitStatus = 0;
  status = serve(&request, &exitStatus);
  const int flags = request.flags;
  audit(request, status);
  dorqReleaseRequest(&request);
  sdorqCloseLogCtxt();

  if (status == kStatusOk) {
    return exitStatus;
  }
  if ((flags & kFlagStatusWords) != 0) {
    sdorqWriteStatusWord(static_cast<int>(status));
  }
  dorqWriteFrame(static_cast<int>(status));
  return static_cast<int>(status);
}
