// The audit record: lines in the system log (facility authpriv, tag "dorq"
// with the process id), written whether or not tracing is on. Each line
// names the caller and an event: a request leaves a line before PAM is
// asked and one when it is refused; a job a line before it may start, one
// when it has started and one when it has ended.
// The password never reaches it, nor do the job's arguments (they may hold
// secrets): only their number. Every value from outside is escaped so that it
// stays one field.
#ifndef DORQ_APP_AUDIT_SDORQ_AUDIT_H
#define DORQ_APP_AUDIT_SDORQ_AUDIT_H

#include <stdint.h>
#include <sys/types.h>

#include "app/base/dorq_status.h"

// What a request asked for, as far as it was read: all null before the
// request record was read.
struct AuditRequest {
  const char* user;
  const char* path;        // the command path, or "kill"
  const char* killTarget;  // a kill request's first argument, or null
  uint32_t argumentCount;
};

// Why a request or a job came to its end: the status, a reason word (null:
// the status's own), the system's error number (0: none) and the signal that
// cancelled it (0: none).
struct AuditOutcome {
  DorqStatus status;
  const char* reason;
  int error;
  int signal;
};

// The reason word of a request its caller cancelled by a signal before it
// had started anything.
inline constexpr char kReasonCancelled[] = "cancelled";

// What the job's cgroup counted of its processes' use.
struct JobUsage {
  bool known;
  int64_t userMicroseconds;
  int64_t systemMicroseconds;
  int64_t memoryPeakKilobytes;  // -1: unknown
};

// How a started job ended.
struct AuditJobEnd {
  bool waited;     // false: waiting failed, see outcome
  bool signalled;  // ended by a signal, which value holds
  int value;       // the exit status or the signal
  int64_t wallMilliseconds;
  bool orphaned;  // dorq ended because its caller went away
  AuditOutcome outcome;
  JobUsage usage;
  const char* cgroup;  // the job cgroup's name, or null: none
};

// At start, before anything the caller can exhaust or block: remembers the
// caller (its real user id and name) and opens the log socket, which is
// close-on-exec and stays open for the lines to come. A missing or failing
// log changes nothing else.
void sdorqAuditStart();
// A request that did not start a job; job is the child's pid when one failed
// before its command replaced it, else 0.
void sdorqAuditRefused(const AuditRequest& request, pid_t job, const AuditOutcome& outcome);
// The attempt has been counted and PAM is about to be asked.
void sdorqAuditAuthenticating(const AuditRequest& request);
// The child exists and waits for dorq's go, which follows this line.
void sdorqAuditSpawned(const AuditRequest& request, pid_t job);
// The command has replaced the child.
void sdorqAuditStarted(const AuditRequest& request, pid_t job);
// The started job has ended, or dorq has stopped waiting for it.
void sdorqAuditEnded(const AuditRequest& request, pid_t job, const AuditJobEnd& end);
// A kill request's result.
void sdorqAuditKill(const AuditRequest& request, const AuditOutcome& outcome);

#endif  // DORQ_APP_AUDIT_SDORQ_AUDIT_H
