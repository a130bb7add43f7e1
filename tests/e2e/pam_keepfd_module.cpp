// pam_dorq_keepfd: a real PAM module that leaves descriptors open, as some do on purpose. It always
// succeeds, and acts when the credentials are set, the last step: "keep=N" opens /dev/null N times;
// "leave=N" opens it up to the descriptor limit, then closes the N newest again; "at=N" opens it as
// descriptor N. "user=NAME" makes NAME the PAM user when it authenticates.
#include <fcntl.h>
#include <security/pam_modules.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
extern "C" {
int pam_sm_authenticate(pam_handle_t* pamh, int, int argc, const char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "user=", 5) == 0) {
      pam_set_item(pamh, PAM_USER, argv[i] + 5);
    }
  }
  return PAM_SUCCESS;
}
int pam_sm_setcred(pam_handle_t*, int, int argc, const char** argv) {
  for (int i = 0; i < argc; ++i) {
    const char kind = argv[i][0];  // "user=" counts 0 and opens nothing
    int count = atoi(strchr(argv[i], '=') + 1);
    int last = -1;
    for (int n = 0, fd = 0; fd >= 0 && (kind == 'l' || n < count) && n < 4096; ++n) {
      fd = open("/dev/null", O_RDONLY);
      last = fd < 0 ? last : fd;
      if (kind == 'a') {
        dup2(fd, count);
        close(fd);
        break;
      }
    }
    while (kind == 'l' && count-- > 0 && last >= 0) {  // the newest have the highest numbers
      close(last--);
    }
  }
  return PAM_SUCCESS;
}
}  // extern "C"
