// pam_dorq_keepfd: a real PAM module for tests that leaves descriptors open in
// the process that loaded it, as some modules do on purpose. It always
// succeeds, and acts when the credentials are set, the last step of a
// transaction. "keep=N" opens /dev/null N times; "leave=N" opens it until the
// descriptor limit is reached, then closes N of them again.
#include <fcntl.h>
#include <security/pam_modules.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {

int pam_sm_authenticate(pam_handle_t*, int, int, const char**) {
  return PAM_SUCCESS;
}

int pam_sm_setcred(pam_handle_t*, int, int argc, const char** argv) {
  for (int i = 0; i < argc; ++i) {
    const bool leave = strncmp(argv[i], "leave=", 6) == 0;
    int count = atoi(strchr(argv[i], '=') + 1);
    int last = -1;
    for (int n = 0; (leave || n < count) && n < 4096; ++n) {
      const int fd = open("/dev/null", O_RDONLY);
      last = fd < 0 ? last : fd;
      if (fd < 0) {
        break;
      }
    }
    // The newest descriptors have the highest numbers.
    while (leave && count-- > 0 && last >= 0) {
      close(last--);
    }
  }
  return PAM_SUCCESS;
}

}  // extern "C"
