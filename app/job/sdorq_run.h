// Running the command as the user, and the kill request.
#ifndef DORQ_APP_JOB_SDORQ_RUN_H
#define DORQ_APP_JOB_SDORQ_RUN_H

#include <stdint.h>

#include "app/base/dorq_channel.h"
#include "app/base/dorq_status.h"

// Bits of the request's flags word.
inline constexpr int kFlagKeepStderr = 1;    // leave the job's stderr alone
inline constexpr int kFlagStatusWords = 2;   // job pipe and status words
inline constexpr int kFlagBlockingWait = 4;  // blocking wait instead of polling

// The -childpidfile value (the command-line text itself), or null.
extern const char* dorqChildPidFile;

// What the execution step is asked to run.
struct RunRequest {
  const char* path;  // the command, or "kill"
  char** argv;       // slot 0 is path
  const char* user;
  int flags;
};

// 0 (the command ran and exited normally; *exitStatus holds its status),
// 9, 10, 11, 12, or the kill request's code (0 or 14). Its events go to
// channel.
DorqStatus sdorqRunCommand(const RunRequest& request, const StatusChannel& channel,
                           int* exitStatus);
// The same with a channel of its own, made from the flags word.
DorqStatus sdorqRunCommandAsUser(const char* path, char** argv, const char* user, int flags,
                                 int* exitStatus);
// At start: dorq writes status words and frames to a caller that may have
// gone away, so a write to a closed pipe must fail and leave the exit status
// intact rather than end dorq; SIGPIPE is ignored (no handler is installed)
// and the caller's disposition kept for the job.
void sdorqIgnoreSigpipe();
// At start, before anything can make dorq an orphan: takes a pidfd of the
// caller, so that a waiting dorq notices at once when its caller has gone,
// whoever adopts dorq then.
void sdorqWatchCaller();
// Kills the job's cgroup, or has a child with the user's identity send
// SIGKILL to the job's process group. 0 when the signal was sent, 14 on any
// failure.
DorqStatus sdorqKillRequest(const char* pidText, const char* user);

#endif  // DORQ_APP_JOB_SDORQ_RUN_H
