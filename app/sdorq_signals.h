// Signal dispositions dorq changes for itself and gives back to the job.
#ifndef DORQ_APP_SDORQ_SIGNALS_H
#define DORQ_APP_SDORQ_SIGNALS_H

#include <signal.h>

// dorq writes status words and frames to a caller that may have gone away: a
// write to a closed pipe must fail and leave the exit status intact, not end
// dorq. SIGPIPE is therefore ignored from the start (ignoring installs no
// handler); the caller's disposition is kept for the job.
void sdorqIgnoreSigpipe();
// The SIGPIPE disposition dorq was started with.
const struct sigaction& sdorqInheritedSigpipe();

#endif  // DORQ_APP_SDORQ_SIGNALS_H
