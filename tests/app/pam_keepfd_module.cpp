// pam_dorq_keepfd: a real PAM module for tests that leaves descriptors open in
// the process that loaded it, as some modules do on purpose. It always
// succeeds, and acts when the credentials are set, the last step of a
// transaction, so that the steps before it still have descriptors. Arguments:
//   keep=N   open /dev/null N times and keep the descriptors
//   leave=N  open /dev/null until the descriptor limit is reached, then close
//            N of them again, so exactly N descriptors stay free
#include <fcntl.h>
#include <security/pam_modules.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int kMaxKept = 4096;

void keep(int count) {
  for (int i = 0; i < count; ++i) {
    open("/dev/null", O_RDONLY);
  }
}

void leave(int count) {
  int kept[kMaxKept];
  int n = 0;
  while (n < kMaxKept) {
    const int fd = open("/dev/null", O_RDONLY);
    if (fd < 0) {
      break;
    }
    kept[n++] = fd;
  }
  while (count-- > 0 && n > 0) {
    close(kept[--n]);
  }
}

}  // namespace

extern "C" {

int pam_sm_authenticate(pam_handle_t*, int, int, const char**) {
  return PAM_SUCCESS;
}

int pam_sm_setcred(pam_handle_t*, int, int argc, const char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "keep=", 5) == 0) {
      keep(atoi(argv[i] + 5));
    } else if (strncmp(argv[i], "leave=", 6) == 0) {
      leave(atoi(argv[i] + 6));
    }
  }
  return PAM_SUCCESS;
}

int pam_sm_acct_mgmt(pam_handle_t*, int, int, const char**) {
  return PAM_SUCCESS;
}

}  // extern "C"
