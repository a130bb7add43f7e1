// A stand-in for libpam, for what the real one cannot be made to do: lack pam_setcred
// (DORQ_FAKE_PAM_NO_SETCRED) or fail pam_end (DORQ_FAKE_PAM_END_FAILS). Each call is appended as
// "<call> <what> <flags, status or item>" to the file named by DORQ_FAKE_PAM_LOG; PAM_USER stays
// pam_start's user.
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
struct pam_handle {
  int unused;
};
namespace {
pam_handle fakeHandle;
std::string startUser;  // what pam_get_item gives as PAM_USER
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
  startUser = user;
  return note("pam_start", (std::string(service) + " " + user).c_str(), conv->conv != nullptr);
}
int pam_authenticate(pam_handle_t* h, int flags) { return note("pam_authenticate", who(h), flags); }
int pam_acct_mgmt(pam_handle_t* h, int flags) { return note("pam_acct_mgmt", who(h), flags); }
int pam_get_item(const pam_handle_t* h, int type, const void** item) {
  *item = type == PAM_USER ? startUser.c_str() : nullptr;
  return note("pam_get_item", who(h), type);
}
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
