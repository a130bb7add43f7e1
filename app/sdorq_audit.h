// The audit record: one line in the system log (facility authpriv, tag
// "dorq" with the process id) for every request, written whether or not
// tracing is on. The password never reaches it, nor do the job's arguments
// (they may hold secrets): only their number.
#ifndef DORQ_APP_SDORQ_AUDIT_H
#define DORQ_APP_SDORQ_AUDIT_H

#include <stdint.h>

#include "app/dorq_status.h"
#include <sys/types.h>

// What one request came to. Text fields are null when the request did not
// get that far; they are escaped in the line.
struct DorqAudit {
  const char* user;
  const char* path;        // the command path, or "kill"
  const char* killTarget;  // a kill request's first argument, or null
  uint32_t argumentCount;
  pid_t job;  // the job's pid once it was forked, else 0
  DorqStatus status;
};

// Remembers the caller (the real user id dorq was started with): call once,
// at start, before any identity change.
void sdorqAuditStart();
// Writes the line for the request's outcome, once: the first call of the
// process writes it (the start of a job, or the refusal), later calls do
// nothing. A missing or failing log socket changes nothing else, and the
// socket is closed again before the call returns.
void sdorqAudit(const DorqAudit& audit);

#endif  // DORQ_APP_SDORQ_AUDIT_H
