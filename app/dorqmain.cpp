// The driver: one run serves one request, in a fixed order, and the driver
// alone turns its outcome into the status word and the frame.
#include <stdio.h>
#include <string.h>

#include "app/dorq_driver.h"
#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_audit.h"
#include "app/sdorq_auth.h"
#include "app/sdorq_exec.h"
#include "app/sdorq_identity.h"
#include "app/sdorq_run.h"

namespace {

// What the request asked for, for the audit line of a refusal.
AuditRequest auditRequest(const DorqRequest& request) {
  const bool kill = strcmp(request.path, kKillWord) == 0;
  const char* first = request.slots > 1 ? request.argv[1] : nullptr;
  return {request.user, request.path, kill ? (first != nullptr ? first : "") : nullptr,
          request.slots > 1 ? request.slots - 2 : 0};
}

// Authentication, then the command or the kill request. A refused
// authentication is audited here; everything after it by the execution step.
DorqStatus serve(DorqRequest* request, int* exitStatus) {
  const char* reason = nullptr;
  DorqStatus status = sdorqAuthenticateUser(request->user, request->password);  // XXX reason
  // The password is needed no more; no copy of it lives past this point.
  dorqWipePassword(request);
  if (status != DorqStatus::Ok) {
    sdorqAuditRefused(auditRequest(*request), 0, {status, reason, 0});
    return status;
  }
  return sdorqRunCommandAsUser(request->path, request->argv, request->user, request->flags,
                               exitStatus);
}

// Failures of parsing and intake end with the frame alone.
int reportIntakeFailure(DorqStatus status) {
  sdorqAuditRefused({}, 0, {status, nullptr, 0});
  sdorqCloseLogCtxt();
  dorqWriteFrame(status);
  return dorqStatusCode(status);
}

}  // namespace

void sdorqWriteStatusWord(DorqStatus status) {
  const auto word = static_cast<unsigned char>(dorqStatusCode(status));
  // A failing write or flush changes nothing: the exit status still tells.
  const AsCaller asCaller;
  if (!asCaller.active()) {
    return;
  }
  (void)fwrite(&word, 1, 1, stdout);
  (void)fflush(stdout);
}

int dorqFormatFrame(char (&buf)[kFrameBuffer], int code) {
  memset(buf, 0, sizeof buf);
  const int length = snprintf(buf, sizeof buf, DORQ_FRAME_FORMAT, kFrameOpen, code, kFrameClose);
  return length < 0 ? 0 : static_cast<int>(strnlen(buf, sizeof buf));
}

void dorqWriteFrame(DorqStatus status) {
  char frame[kFrameBuffer];
  const int length = dorqFormatFrame(frame, dorqStatusCode(status));
  const AsCaller asCaller;
  if (!asCaller.active()) {
    return;
  }
  (void)fwrite(frame, static_cast<size_t>(length), 1, stderr);
}

int dorqmain(int argc, char** argv) {
  DorqStatus status = dorqParseArgs(argc, argv);
  if (status != DorqStatus::Ok) {
    return reportIntakeFailure(status);
  }
  DorqRequest request{};
  RequestOwner owner(&request);
  status = dorqReadRequest(stdin, &request);
  if (status != DorqStatus::Ok) {
    return reportIntakeFailure(status);
  }
  dorqSetupLogging();

  int exitStatus = 0;
  status = serve(&request, &exitStatus);
  const int flags = request.flags;
  owner.reset();  // the driver releases the request before it reports
  sdorqCloseLogCtxt();

  if (status == DorqStatus::Ok) {
    return exitStatus;
  }
  if ((flags & kFlagStatusWords) != 0) {
    sdorqWriteStatusWord(status);
  }
  dorqWriteFrame(status);
  return dorqStatusCode(status);
}
