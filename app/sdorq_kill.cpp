// The kill request: SIGKILL to an earlier job's process group, sent with the
// user's rights so that it reaches only what the user may signal.
#include <signal.h>

#include "app/dorq_numbers.h"
#include "app/dorq_status.h"
#include "app/sdorq_identity.h"
#include "app/sdorq_run.h"

namespace {

// Group 0 would be dorq's own group and -1 (from a pid of 1) every process
// the user may signal: a pid below 2 names no job and is refused.
constexpr int kLowestJobGroup = 2;

}  // namespace

DorqStatus sdorqKillRequest(const char* pidText, const char* user) {
  if (pidText == nullptr) {
    return DorqStatus::KillFailed;
  }
  const int group = dorqAtoi(pidText);
  if (group < kLowestJobGroup) {
    return DorqStatus::KillFailed;
  }
  // dorq's own process takes on the user's identity for good: the signal
  // reaches only what the user may signal itself.
  if (!sdorqSwitchIdentity(sdorqResolveJobIdentity(user))) {
    return DorqStatus::KillFailed;
  }
  return kill(-group, SIGKILL) == 0 ? DorqStatus::Ok : DorqStatus::KillFailed;
}
