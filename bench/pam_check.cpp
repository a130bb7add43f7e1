// dorq_bench_pam: the PAM check alone, for comparison with a whole dorq run.
//
// Usage: dorq_bench_pam SERVICE USER [TIMES-FILE] < PASSWORD-LINE
//
// Runs one transaction the way dorq runs one: pam_start, pam_authenticate,
// pam_acct_mgmt, pam_setcred (flags 0, as dorq passes) and pam_end, answering
// every echo-off prompt with the first line of standard input. Unlike dorq it
// links libpam instead of loading it at run time. With TIMES-FILE it appends
// one line to it: the nanoseconds from before pam_start to after pam_end,
// then the process's peak resident memory in KiB (VmHWM). Exit status 0 when
// the transaction succeeded; otherwise 1 with PAM's message on standard error.
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

constexpr long kNsPerSecond = 1000000000L;
constexpr size_t kLine = 512;

long long nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int answer(int count, const struct pam_message** messages, struct pam_response** responses,
           void* password) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) {
    return PAM_CONV_ERR;
  }
  auto* answers =
      static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) {
    return PAM_BUF_ERR;
  }
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) {
      answers[i].resp = strdup(static_cast<const char*>(password));
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// One transaction; PAM_SUCCESS or the first failing step's status, whose
// text goes to standard error.
int transaction(const char* service, const char* user, char* password) {
  const pam_conv conversation{answer, password};
  pam_handle_t* handle = nullptr;
  int status = pam_start(service, user, &conversation, &handle);
  if (status == PAM_SUCCESS) {
    status = pam_authenticate(handle, 0);
  }
  if (status == PAM_SUCCESS) {
    status = pam_acct_mgmt(handle, 0);
  }
  if (status == PAM_SUCCESS) {
    status = pam_setcred(handle, 0);
  }
  if (status != PAM_SUCCESS) {
    fprintf(stderr, "dorq_bench_pam: %s\n", pam_strerror(handle, status));
  }
  pam_end(handle, status);
  return status;
}

// VmHWM from /proc/self/status, in KiB; -1 when it cannot be read.
long peakResidentKib() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) {
    return -1;
  }
  long kib = -1;
  char line[kLine];
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      kib = strtol(line + 6, nullptr, 10);
    }
  }
  fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  char password[kLine] = {};
  if ((argc != 3 && argc != 4) || fgets(password, sizeof password, stdin) == nullptr) {
    fprintf(stderr, "usage: dorq_bench_pam SERVICE USER [TIMES-FILE] < PASSWORD-LINE\n");
    return 2;
  }
  password[strcspn(password, "\n")] = '\0';
  const long long begin = nowNs();
  if (transaction(argv[1], argv[2], password) != PAM_SUCCESS) {
    return 1;
  }
  const long long took = nowNs() - begin;
  FILE* times = argc == 4 ? fopen(argv[3], "a") : nullptr;
  if (times != nullptr) {
    fprintf(times, "%lld %ld\n", took, peakResidentKib());
    fclose(times);
  }
  return 0;
}
