// A stand-in for libpam, for what the real one cannot be made to do: lack pam_setcred
// (DORQ_FAKE_PAM_NO_SETCRED) or fail pam_end (DORQ_FAKE_PAM_END_FAILS). Each call is appended as
// "<call> <what> <flags or status>" to the file named by DORQ_FAKE_PAM_LOG.
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
struct pam_handle {
  int unused;
};
namespace {
pam_handle fakeHandle;
int note(const char* call, const char* what, int number, int result = PAM_SUCCESS) {
  if (FILE* log = getenv("DORQ_FAKE_PAM_LOG") ? fopen(getenv("DORQ_FAKE_PAM_LOG"), "a") : nullptr) {
    fprintf(log, "%s %s %d\n", call, what, number);
    fclose(log);
  }
  return result;
}
// clang-format off
const char* who(const pam_handle_t* h) { return h == &fakeHandle ? "handle" : "other"; }
}  // namespace
extern "C" {
int pam_start(const char* service, const char* user, const pam_conv* conv, pam_handle_t** pamh) {
  *pamh = &fakeHandle;
  return note("pam_start", (std::string(service) + " " + user).c_str(), conv->conv != nullptr);
}
int pam_authenticate(pam_handle_t* h, int flags) { return note("pam_authenticate", who(h), flags); }
int pam_acct_mgmt(pam_handle_t* h, int flags) { return note("pam_acct_mgmt", who(h), flags); }
#ifndef DORQ_FAKE_PAM_NO_SETCRED
int pam_setcred(pam_handle_t* h, int flags) { return note("pam_setcred", who(h), flags); }
#endif
#ifdef DORQ_FAKE_PAM_END_FAILS
int pam_end(pam_handle_t* h, int status) { return note("pam_end", who(h), status, PAM_SYSTEM_ERR); }
#else
int pam_end(pam_handle_t* h, int status) { return note("pam_end", who(h), status); }
#endif
}  // extern "C"
// clang-format on
