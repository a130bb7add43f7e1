// The steps of running the command as the user, shared by the units that
// make up sdorqRunCommandAsUser.
#ifndef DORQ_APP_SDORQ_EXEC_H
#define DORQ_APP_SDORQ_EXEC_H

#include <signal.h>
#include <stdint.h>

#include "app/dorq_status.h"
#include <sys/types.h>

#include "app/sdorq_identity.h"

// Every trace line of the execution step carries this function name.
inline constexpr const char* kRunFunction = "sdorqRunCommandAsUser";

// Settings that make the job's library path.
inline constexpr char kLibPathExtraName[] = "LD_LIBRARY_PATH_SDORQ";
inline constexpr char kHomeName[] = "ZANTIX_HOME";
// Capacity of each setting value; its buffer holds one more byte.
inline constexpr uint64_t kLibPathValueMax = 1024;

// The word that turns a request into a kill request.
inline constexpr char kKillWord[] = "kill";

// Everything the child needs, prepared before the fork.
struct ChildPlan {
  const char* path;
  char** argv;
  int flags;
  const JobIdentity* identity;
  int pipeWrite;                      // the job pipe's write end, or -1
  int pipeRead;                       // the job pipe's read end, or -1
  struct sigaction inheritedSigchld;  // put back before the exec
};

// Sets LD_LIBRARY_PATH for the job from ZANTIX_HOME and LD_LIBRARY_PATH_SDORQ.
void sdorqSetJobLibraryPath();
// The child's whole path: identity switch, descriptors, exec; never returns.
[[noreturn]] void sdorqRunChild(const ChildPlan& plan);
// Writes the child pid record asked for by -childpidfile, if any.
void sdorqRecordChildPid(pid_t child);
// Waits for the child (blocking or polling); 0 with the wait status, or 11.
// Polling ends dorq itself with status 0 when its caller has gone.
DorqStatus sdorqWaitForChild(pid_t child, int flags, int* waitStatus);

#endif  // DORQ_APP_SDORQ_EXEC_H
