// The job's environment. dorq's own time stamps follow the system's time
// zone, not the caller's TZ, which is set aside for the job; and the job's
// HOME, USER, LOGNAME and SHELL are the user's, as for a shell started by su
// without a login.
#ifndef DORQ_APP_JOB_SDORQ_ENVIRON_H
#define DORQ_APP_JOB_SDORQ_ENVIRON_H

#include "app/base/sdorq_identity.h"
#include "port/unique_handle.h"

// At start: takes TZ out of dorq's own environment, keeping it for the job.
void sdorqSetAsideTimeZone();

// The job's environment: dorq's own as the caller gave it (with the job's
// library path), the caller's TZ, and the user's four variables from the
// password entry (SHELL /bin/sh when the entry has none).
struct JobEnvironment {
  UniqueHeap<char*> vars;  // null-terminated, for the exec
  UniqueHeap<char> text;   // the user's four variables
};
// False when memory ran out; the job cannot be started then.
bool sdorqBuildJobEnvironment(const JobIdentity& identity, JobEnvironment* environment);

#endif  // DORQ_APP_JOB_SDORQ_ENVIRON_H
