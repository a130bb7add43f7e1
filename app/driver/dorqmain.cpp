// The driver: one run serves one request, in a fixed order: options,
// request, logging settings, authentication, the command or the kill
// request, release, report. Its status channel (dorq_channel.h) is the only
// writer of status words and frames.
#include <stdio.h>
#include <string.h>

#include "app/base/dorq_channel.h"
#include "app/driver/dorq_driver.h"
#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/audit/sdorq_audit.h"
#include "app/authentication/sdorq_auth.h"
#include "app/job/sdorq_exec.h"
#include "app/job/sdorq_run.h"
#include "app/base/sdorq_signals.h"

namespace {

// What the request asked for, for the audit line of a refusal.
AuditRequest auditRequest(const DorqRequest& request) {
  const bool kill = strcmp(request.path, kKillWord) == 0;
  const char* first = request.slots > 1 ? request.argv[1] : nullptr;
  return {request.user, request.path, kill ? (first != nullptr ? first : "") : nullptr,
          request.slots > 1 ? request.slots - 2 : 0};
}

// Authentication, then the command or the kill request. A refused
// authentication is audited here, before its pause; everything after it by
// the execution step.
DorqStatus serve(DorqRequest* request, const StatusChannel& channel, int* exitStatus) {
  const AuditRequest audited = auditRequest(*request);
  const char* reason = nullptr;
  DorqStatus status = sdorqAuthenticate(audited, request->password, &reason);
  // The password is needed no more; no copy of it lives past this point.
  dorqWipePassword(request);
  if (status != DorqStatus::Ok) {
    const int signal = reason == kReasonCancelled ? sdorqCancelled() : 0;
    sdorqAuditRefused(audited, 0, {status, reason, 0, signal});
    sdorqPauseAfterRefusal(status, reason);
    return status;
  }
  return sdorqRunCommand({request->path, request->argv, request->user, request->flags}, channel,
                         exitStatus);
}

// Failures of parsing and intake end with the frame alone; reason null: the
// status's own word.
int reportIntakeFailure(DorqStatus status, const char* reason = nullptr) {
  sdorqAuditRefused({}, 0, {status, reason, 0, 0});
  sdorqCloseLogCtxt();
  StatusChannel::finishUnread(status);
  return dorqStatusCode(status);
}

}  // namespace

int dorqmain(int argc, char** argv) {
  DorqStatus status = dorqParseArgs(argc, argv);
  if (status != DorqStatus::Ok) {
    return reportIntakeFailure(status);
  }
  DorqRequest request{};
  RequestOwner owner(&request);
  const char* reason = nullptr;
  status = dorqReadRequest(stdin, &request, &reason);
  if (status != DorqStatus::Ok) {
    return reportIntakeFailure(status, reason);
  }
  // From here on a cancel of the caller's ends the request with a line, or
  // goes on to the job.
  sdorqWatchCancel();
  dorqSetupLogging();

  int exitStatus = 0;
  const StatusChannel channel((request.flags & kFlagStatusWords) != 0);
  status = serve(&request, channel, &exitStatus);
  owner.reset();  // the driver releases the request before it reports
  sdorqCloseLogCtxt();
  channel.finish(status);
  return status == DorqStatus::Ok ? exitStatus : dorqStatusCode(status);
}
