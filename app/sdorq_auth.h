// Authentication: the policy over the "su" and "dorq" PAM services, and one
// PAM attempt with its conversation function.
#ifndef DORQ_APP_SDORQ_AUTH_H
#define DORQ_APP_SDORQ_AUTH_H

#include <security/pam_appl.h>
#include <stdint.h>

#include "app/dorq_status.h"

// Results of one PAM attempt.
enum class PamAttempt {
  Ok = 0,
  Other = 1,  // missing symbol, pam_end failed, other status
  NoLibrary = 2,
  PermDenied = 6,  // PAM_PERM_DENIED passed through
  AuthErr = 7,     // PAM_AUTH_ERR passed through
};

// Seconds of pause before reporting a plain authentication failure.
inline constexpr unsigned kAuthFailurePauseSeconds = 3;

// Ok, NotSetUid, AuthFailed, NoPam or BadPamConf.
DorqStatus sdorqAuthenticateUser(const char* user, const char* password);
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

#endif  // DORQ_APP_SDORQ_AUTH_H
