// A stand-in for libpam, built from the published PAM types only, for the two
// things the real library cannot be made to do: lack pam_setcred
// (DORQ_FAKE_PAM_NO_SETCRED) and fail pam_end (DORQ_FAKE_PAM_END_FAILS). Each
// call is appended as one line to the file named by DORQ_FAKE_PAM_LOG.
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

struct pam_handle {
  int unused;
};

namespace {

pam_handle fakeHandle;

// Appends "<call> <what> <number>"; the number is the flags or the status.
void note(const char* call, const std::string& what, int number) {
  const char* path = getenv("DORQ_FAKE_PAM_LOG");
  FILE* log = path != nullptr ? fopen(path, "a") : nullptr;
  if (log != nullptr) {
    fprintf(log, "%s %s %d\n", call, what.c_str(), number);
    fclose(log);
  }
}

std::string handle(const pam_handle_t* pamh) {
  return pamh == &fakeHandle ? "handle" : "other";
}

}  // namespace

extern "C" {

int pam_start(const char* service, const char* user, const struct pam_conv* conv,
              pam_handle_t** pamh) {
  note("pam_start", std::string(service) + " " + user, conv->conv != nullptr ? 1 : 0);
  *pamh = &fakeHandle;
  return PAM_SUCCESS;
}

int pam_authenticate(pam_handle_t* pamh, int flags) {
  note("pam_authenticate", handle(pamh), flags);
  return PAM_SUCCESS;
}

int pam_acct_mgmt(pam_handle_t* pamh, int flags) {
  note("pam_acct_mgmt", handle(pamh), flags);
  return PAM_SUCCESS;
}

#ifndef DORQ_FAKE_PAM_NO_SETCRED
int pam_setcred(pam_handle_t* pamh, int flags) {
  note("pam_setcred", handle(pamh), flags);
  return PAM_SUCCESS;
}
#endif

int pam_end(pam_handle_t* pamh, int status) {
  note("pam_end", handle(pamh), status);
#ifdef DORQ_FAKE_PAM_END_FAILS
  return PAM_SYSTEM_ERR;
#else
  return PAM_SUCCESS;
#endif
}

}  // extern "C"
