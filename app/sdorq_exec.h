// What the two sides of running a command share: the parent's side
// (sdorq_run.cpp) prepares the plan, the child's side (sdorq_child.cpp)
// carries it out.
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

// Everything the child needs, prepared before it is spawned.
struct ChildPlan {
  const char* path;
  char** argv;
  int flags;
  const JobIdentity* identity;
  int pipeWrite;                      // the job pipe's write end, or -1
  int pipeRead;                       // the job pipe's read end, or -1
  struct sigaction inheritedSigchld;  // put back before the exec
  struct sigaction inheritedSigpipe;  // likewise
};

// The child's whole path: session, report descriptor, identity,
// descriptors, exec, failure exit; never returns.
[[noreturn]] void sdorqRunChild(const ChildPlan& plan);

#endif  // DORQ_APP_SDORQ_EXEC_H
