// The authentication policy: dorq must run with an effective user id of 0;
// an empty password is refused; the attempt is counted by the lockout for the
// caller and the user, and a locked user refused, before PAM is asked
// through the "su" service first and the "dorq" service second; the
// outcomes become one status code. A cancel of the run is looked for before
// the count and after each service.
#include <unistd.h>

#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/authentication/sdorq_auth.h"
#include "app/authentication/sdorq_lockout.h"
#include "app/base/sdorq_signals.h"

namespace {

constexpr char kTraceUnit[] = "sdorq";
constexpr char kFunction[] = "sdorqAuthenticateUser";

constexpr char kFirstService[] = "su";
constexpr char kSecondService[] = "dorq";

struct Verdict {
  DorqStatus status;
  const char* reason;
};

constexpr Verdict kAccepted = {DorqStatus::Ok, nullptr};

constexpr Verdict refused(const char* reason) {
  return {DorqStatus::AuthFailed, reason};
}

constexpr Verdict kCancelled = refused(kReasonCancelled);

// Both services have been tried and "su" did not accept.
Verdict decideSecond(PamAttempt first, PamAttempt second) {
  if (second == PamAttempt::Ok) {
    DORQ_TRACE(kTraceAuth, kFunction, "Succeeded using dorq service");
    return kAccepted;
  }
  if (second == PamAttempt::UserChanged) {
    return refused(kReasonPamUserChanged);
  }
  // "su" denied permission while "dorq" itself works up to the password: the
  // host's "su" service refuses dorq, which is a setup fault, not the user's.
  if (first == PamAttempt::PermDenied && second == PamAttempt::AuthErr) {
    DORQ_TRACE(kTraceAlways, kFunction, "Bad PAM conf detected, dorq can't run su.");
    return {DorqStatus::BadPamConf, kReasonSuRefusesDorq};
  }
  return refused(kReasonAuthFailed);
}

Verdict askPam(const char* user, const char* password) {
  DORQ_TRACE(kTraceAuth, kFunction, "Verifying credentials via sdorqPAMAuth");
  const PamAttempt first = sdorqPAMAuth(user, password, kFirstService);
  if (first == PamAttempt::NoLibrary) {
    DORQ_TRACE(kTraceAlways, kFunction, "LIBPAM not available");
    return {DorqStatus::NoPam, kReasonNoPamLibrary};
  }
  if (first == PamAttempt::Ok) {
    DORQ_TRACE(kTraceAuth, kFunction, "Succeeded using su service");
    return kAccepted;
  }
  if (first == PamAttempt::UserChanged) {
    return refused(kReasonPamUserChanged);  // no second service
  }
  if (sdorqCancelled() != 0) {
    return kCancelled;  // the second service is not asked
  }
  return decideSecond(first, sdorqPAMAuth(user, password, kSecondService));
}

// The attempt is counted before PAM is asked and settled by its verdict: a
// success clears the caller's count, and no library at all (nothing was
// checked) takes the record back. Every other outcome is a failure, 21 too
// (under it the "dorq" service has refused the password) and a cancel while
// PAM was asked. A cancel before the count counts nothing.
Verdict countAndAsk(const AuditRequest& request, const char* password) {
  if (sdorqCancelled() != 0) {
    return kCancelled;
  }
  LockoutAttempt lockout;
  switch (lockout.count(request.user, getuid())) {
    case LockoutCount::Locked:
      return refused(kReasonUserLocked);
    case LockoutCount::Unusable:
      return refused(kReasonAuthFailed);  // fail closed
    case LockoutCount::Busy:
      return refused(kReasonUserBusy);
    case LockoutCount::Cancelled:
      return kCancelled;
    case LockoutCount::Counted:
    case LockoutCount::NotCounted:
      break;
  }
  // The line now: the caller can kill dorq at any moment from here on.
  sdorqAuditAuthenticating(request);
  Verdict verdict = askPam(request.user, password);
  if (verdict.status == DorqStatus::Ok) {
    lockout.clear();
  } else if (verdict.status == DorqStatus::NoPam) {
    lockout.takeBack();
  } else {
    lockout.fail();
  }
  if (verdict.status == DorqStatus::Ok && sdorqCancelled() != 0) {
    verdict = kCancelled;
  }
  return verdict;
}

Verdict decide(const AuditRequest& request, const char* password) {
  const uid_t euid = geteuid();
  if (euid != 0) {
    DORQ_TRACE(kTraceAlways, kFunction, "Dorq has not been setup, euid %d", static_cast<int>(euid));
    return {DorqStatus::NotSetUid, kReasonNotSetUid};
  }
  // Some services accept an empty password (pam_unix's nullok); dorq never
  // does, and does not count it.
  if (password[0] == '\0') {
    DORQ_TRACE(kTraceAlways, kFunction, "Empty password refused");
    return refused(kReasonEmptyPassword);
  }
  return countAndAsk(request, password);
}

}  // namespace

DorqStatus sdorqAuthenticate(const AuditRequest& request, const char* password,
                             const char** reason) {
  DORQ_TRACE(kTraceEntryExit, kFunction, "Enter");
  DORQ_TRACE(kTraceAuth, kFunction, "Credentials");
  const Verdict verdict = decide(request, password);
  DORQ_TRACE(kTraceEntryOrAuth, kFunction, "Exiting with status %d",
             static_cast<int>(verdict.status));
  if (reason != nullptr) {
    *reason = verdict.reason;
  }
  return verdict.status;
}

// The whole pause, even when a signal cuts a sleep short, unless the run is
// cancelled; the failure record is settled by now, and the refusal logged.
void sdorqPauseAfterRefusal(DorqStatus status, const char* reason) {
  if (status != DorqStatus::AuthFailed || reason == kReasonCancelled) {
    return;
  }
  constexpr unsigned kMillisecondsPerSecond = 1000;
  (void)sdorqPauseUnlessCancelled(kAuthFailurePauseSeconds * kMillisecondsPerSecond);
  DORQ_TRACE(kTraceAlways, kFunction, "Could not authenticate despite best efforts");
}

DorqStatus sdorqAuthenticateUser(const char* user, const char* password) {
  const char* reason = nullptr;
  const DorqStatus status = sdorqAuthenticate({user, nullptr, nullptr, 0}, password, &reason);
  sdorqPauseAfterRefusal(status, reason);
  return status;
}
