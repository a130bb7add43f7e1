// dorq_bench_pam: the PAM check alone, for comparison with a whole dorq run.
//
// Usage: dorq_bench_pam SERVICE USER PASSWORD [COUNT]
//
// Runs COUNT (default 1) transactions the way dorq runs one: pam_start,
// pam_authenticate, pam_acct_mgmt, pam_setcred (flags 0, as dorq passes) and
// pam_end, answering every echo-off prompt with PASSWORD. Unlike dorq it
// links libpam instead of loading it at run time. It prints one line on
// standard output: the nanoseconds each transaction took, from before
// pam_start to after pam_end, separated by spaces, then "hwm=" and the
// process's peak resident memory in KiB (VmHWM). Exit status 0 when every
// transaction succeeded; otherwise 1 with PAM's message on standard error.
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

constexpr long kNsPerSecond = 1000000000L;
constexpr int kMaxCount = 100000;
constexpr size_t kStatusLine = 256;

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
  char line[kStatusLine];
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
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: dorq_bench_pam SERVICE USER PASSWORD [COUNT]\n");
    return 2;
  }
  const int count = argc == 5 ? atoi(argv[4]) : 1;
  if (count < 1 || count > kMaxCount) {
    fprintf(stderr, "dorq_bench_pam: COUNT must be 1 to %d\n", kMaxCount);
    return 2;
  }
  for (int i = 0; i < count; ++i) {
    const long long begin = nowNs();
    if (transaction(argv[1], argv[2], argv[3]) != PAM_SUCCESS) {
      return 1;
    }
    printf("%lld ", nowNs() - begin);
  }
  printf("hwm=%ld\n", peakResidentKib());
  return 0;
}
