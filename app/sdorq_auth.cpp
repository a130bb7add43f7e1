// The authentication policy: dorq must run with an effective user id of 0,
// then PAM is asked through the "su" service first and the "dorq" service
// second, and the pair of outcomes becomes one status code.
#include <unistd.h>

#include "app/dorq_status.h"
#include "app/dorq_trace.h"
#include "app/sdorq_auth.h"

namespace {

constexpr char kTraceUnit[] = "sdorq";
constexpr char kFunction[] = "sdorqAuthenticateUser";

constexpr char kFirstService[] = "su";
constexpr char kSecondService[] = "dorq";

// Both services have been tried and "su" did not succeed (r1 is neither 0
// nor 2).
DorqStatus decideSecond(PamAttempt first, PamAttempt second) {
  if (second == PamAttempt::Ok) {
    DORQ_TRACE(kTraceAuth, kFunction, "Succeeded using dorq service");
    return DorqStatus::Ok;
  }
  // "su" denied permission while "dorq" itself works up to the password: the
  // host's "su" service refuses dorq, which is a setup fault, not the user's.
  if (first == PamAttempt::PermDenied && second == PamAttempt::AuthErr) {
    DORQ_TRACE(kTraceAlways, kFunction, "Bad PAM conf detected, dorq can't run su.");
    return DorqStatus::BadPamConf;
  }
  // The whole pause, even when a signal cuts a sleep short.
  for (unsigned left = kAuthFailurePauseSeconds; left > 0;) {
    left = sleep(left);
  }
  DORQ_TRACE(kTraceAlways, kFunction, "Could not authenticate despite best efforts");
  return DorqStatus::AuthFailed;
}

DorqStatus decide(const char* user, const char* password) {
  const uid_t euid = geteuid();
  if (euid != 0) {
    DORQ_TRACE(kTraceAlways, kFunction, "Dorq has not been setup, euid %d", static_cast<int>(euid));
    return DorqStatus::NotSetUid;
  }
  DORQ_TRACE(kTraceAuth, kFunction, "Verifying credentials via sdorqPAMAuth");
  const PamAttempt first = sdorqPAMAuth(user, password, kFirstService);
  if (first == PamAttempt::NoLibrary) {
    DORQ_TRACE(kTraceAlways, kFunction, "LIBPAM not available");
    return DorqStatus::NoPam;
  }
  if (first == PamAttempt::Ok) {
    DORQ_TRACE(kTraceAuth, kFunction, "Succeeded using su service");
    return DorqStatus::Ok;
  }
  return decideSecond(first, sdorqPAMAuth(user, password, kSecondService));
}

}  // namespace

DorqStatus sdorqAuthenticateUser(const char* user, const char* password) {
  DORQ_TRACE(kTraceEntryExit, kFunction, "Enter");
  DORQ_TRACE(kTraceAuth, kFunction, "Credentials");
  const DorqStatus result = decide(user, password);
  DORQ_TRACE(kTraceEntryOrAuth, kFunction, "Exiting with status %d", static_cast<int>(result));
  return result;
}
