// A stand-in for libpam, built from the published PAM types only, for the two
// things the real library cannot be made to do: lack pam_setcred
// (DORQ_FAKE_PAM_NO_SETCRED) and fail pam_end (DORQ_FAKE_PAM_END_FAILS).
// Every call is appended to the file named by DORQ_FAKE_PAM_LOG, one line
// each, so a test can tell which calls were made and with what.
#include <security/pam_appl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

struct pam_handle {
  int unused;
};

namespace {

pam_handle fakeHandle;

__attribute__((format(printf, 1, 2))) void note(const char* format, ...) {
  const char* path = getenv("DORQ_FAKE_PAM_LOG");
  if (path == nullptr) {
    return;
  }
  FILE* log = fopen(path, "a");
  if (log == nullptr) {
    return;
  }
  va_list arguments;
  va_start(arguments, format);
  vfprintf(log, format, arguments);
  va_end(arguments);
  fputc('\n', log);
  fclose(log);
}

}  // namespace

extern "C" {

int pam_start(const char* service_name, const char* user, const struct pam_conv* pam_conversation,
              pam_handle_t** pamh) {
  note("pam_start %s %s %s", service_name, user,
       pam_conversation->conv != nullptr ? "conv" : "no-conv");
  *pamh = &fakeHandle;
  return PAM_SUCCESS;
}

int pam_authenticate(pam_handle_t* pamh, int flags) {
  note("pam_authenticate %s %d", pamh == &fakeHandle ? "handle" : "other", flags);
  return PAM_SUCCESS;
}

int pam_acct_mgmt(pam_handle_t* pamh, int flags) {
  note("pam_acct_mgmt %s %d", pamh == &fakeHandle ? "handle" : "other", flags);
  return PAM_SUCCESS;
}

#ifndef DORQ_FAKE_PAM_NO_SETCRED
int pam_setcred(pam_handle_t* pamh, int flags) {
  note("pam_setcred %s %d", pamh == &fakeHandle ? "handle" : "other", flags);
  return PAM_SUCCESS;
}
#endif

int pam_end(pam_handle_t* pamh, int pam_status) {
  note("pam_end %s %d", pamh == &fakeHandle ? "handle" : "other", pam_status);
#ifdef DORQ_FAKE_PAM_END_FAILS
  return PAM_SYSTEM_ERR;
#else
  return PAM_SUCCESS;
#endif
}

}  // extern "C"
