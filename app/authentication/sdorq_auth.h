// Authentication: the policy over the lockout and the "su" and "dorq" PAM
// services, and one PAM attempt with its conversation function.
#ifndef DORQ_APP_AUTHENTICATION_SDORQ_AUTH_H
#define DORQ_APP_AUTHENTICATION_SDORQ_AUTH_H

#include <security/pam_appl.h>
#include <stdint.h>

#include "app/base/dorq_status.h"
#include "app/audit/sdorq_audit.h"

// Results of one PAM attempt.
enum class PamAttempt {
  Ok = 0,
  Other = 1,  // missing symbol, pam_end failed, other status
  NoLibrary = 2,
  UserChanged = 3,  // the transaction succeeded, but PAM_USER is not the user asked for
  PermDenied = 6,   // PAM_PERM_DENIED passed through
  AuthErr = 7,      // PAM_AUTH_ERR passed through
};

// Seconds of pause before reporting a plain authentication failure.
inline constexpr unsigned kAuthFailurePauseSeconds = 3;

// Ok, NotSetUid, AuthFailed, NoPam or BadPamConf; *reason becomes the word
// the audit line gives for a refusal (one of the static strings below), or
// nullptr on success. The user is request.user; the attempt's line
// ("authenticating") is written once it has been counted, before PAM is
// asked. No pause: the caller logs a refusal first, then pauses.
DorqStatus sdorqAuthenticate(const AuditRequest& request, const char* password,
                             const char** reason);
// After the refusal's line: the pause of a plain failure (AuthFailed, unless
// cancelled), cut short by a cancel.
void sdorqPauseAfterRefusal(DorqStatus status, const char* reason);
// sdorqAuthenticate for the user alone, then the pause.
DorqStatus sdorqAuthenticateUser(const char* user, const char* password);

// The reason words.
inline constexpr char kReasonAuthFailed[] = "authentication-failed";
inline constexpr char kReasonUserLocked[] = "user-locked";
inline constexpr char kReasonEmptyPassword[] = "empty-password";
inline constexpr char kReasonPamUserChanged[] = "pam-user-changed";
inline constexpr char kReasonNotSetUid[] = "not-setuid-root";
inline constexpr char kReasonNoPamLibrary[] = "no-pam-library";
inline constexpr char kReasonSuRefusesDorq[] = "su-refuses-dorq";
// Five attempts of the caller for the user are with PAM and none settled in
// time.
inline constexpr char kReasonUserBusy[] = "user-busy";

// Both PAM steps that judge the password and the account refuse an account
// whose password field is empty, whatever a service's options say.
inline constexpr int kPamCheckFlags = PAM_DISALLOW_NULL_AUTHTOK;

// One attempt against one service.
PamAttempt sdorqPAMAuth(const char* user, const char* password, const char* service);

extern "C" {
// The conversation handed to PAM: every echo-off prompt gets its own copy of
// the password (appdata_ptr); every other message is left unanswered.
int sdorqUserConv(int num_msg, const struct pam_message** msg, struct pam_response** resp,
                  void* appdata_ptr);
}

// The one conversation record; filled before each pam_start.
extern struct pam_conv pam_conv_sdorq;

#endif  // DORQ_APP_AUTHENTICATION_SDORQ_AUTH_H
