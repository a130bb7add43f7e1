// One PAM attempt against one service, with the PAM library loaded at run
// time, and the conversation function that answers PAM's prompts.
#include <dlfcn.h>
#include <security/pam_appl.h>
#include <string.h>

#include "app/trace/dorq_trace.h"
#include "app/authentication/sdorq_auth.h"
#include "port/ss_wrappers.h"
#include "port/unique_handle.h"

struct pam_conv pam_conv_sdorq = {nullptr, nullptr};

namespace {

constexpr char kTraceUnit[] = "sdorq";
constexpr char kAttemptFunction[] = "sdorqPAMAuth";
constexpr char kConvFunction[] = "sdorqUserConv";

// The names the library is loaded by, in order, and how.
constexpr const char* kLibraryNames[] = {"libpam.so", "libpam.so.0"};
constexpr int kLibraryOpenFlags = RTLD_NOW | RTLD_GLOBAL;

// The loader reports a failed lookup by text only; the trace shows this number
// in its place.
constexpr int kLookupErrorNumber = -1;

// PAM never sends more messages than this in one call; a count outside
// 0..kMaxConvMessages is refused like a failed allocation.
constexpr int kMaxConvMessages = PAM_MAX_NUM_MSG;

using PamStartFn = int (*)(const char*, const char*, const struct pam_conv*, pam_handle_t**);
using PamEndFn = int (*)(pam_handle_t*, int);
using PamStepFn = int (*)(pam_handle_t*, int);
using PamGetItemFn = int (*)(const pam_handle_t*, int, const void**);

// The six entry points; valid only while the library handle is held.
struct PamEntryPoints {
  PamStartFn start = nullptr;
  PamEndFn end = nullptr;
  PamStepFn authenticate = nullptr;
  PamStepFn acctMgmt = nullptr;
  PamStepFn setcred = nullptr;
  PamGetItemFn getItem = nullptr;
};

UniqueLibrary openLibpam() {
  for (const char* name : kLibraryNames) {
    void* handle = dlopen(name, kLibraryOpenFlags);
    if (handle != nullptr) {
      return UniqueLibrary(handle);
    }
    DORQ_TRACE(kTraceAuth, kAttemptFunction, "No %s available", name);
  }
  return UniqueLibrary();
}

// Looks one symbol up; it is missing when the loader has an error text right
// after the lookup (or, defensively, when it resolved to nothing).
bool lookUp(void* library, const char* name, void** symbol) {
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Retrieving %s", name);
  dlerror();
  *symbol = dlsym(library, name);
  if (dlerror() != nullptr || *symbol == nullptr) {
    DORQ_TRACE(kTraceAlways, kAttemptFunction, "Error %d while retrieving %s", kLookupErrorNumber,
               name);
    return false;
  }
  return true;
}

// The entry points, in the order they are looked up.
constexpr const char* kEntryPointNames[] = {"pam_start",     "pam_end",     "pam_authenticate",
                                            "pam_acct_mgmt", "pam_setcred", "pam_get_item"};
constexpr size_t kEntryPointCount = sizeof kEntryPointNames / sizeof kEntryPointNames[0];

// Resolves the six entry points in their fixed order; false at the first one
// missing.
bool resolveEntryPoints(void* library, PamEntryPoints* pam) {
  void* symbols[kEntryPointCount] = {};
  for (size_t i = 0; i < kEntryPointCount; ++i) {
    if (!lookUp(library, kEntryPointNames[i], &symbols[i])) {
      return false;
    }
  }
  pam->start = reinterpret_cast<PamStartFn>(symbols[0]);
  pam->end = reinterpret_cast<PamEndFn>(symbols[1]);
  pam->authenticate = reinterpret_cast<PamStepFn>(symbols[2]);
  pam->acctMgmt = reinterpret_cast<PamStepFn>(symbols[3]);
  pam->setcred = reinterpret_cast<PamStepFn>(symbols[4]);
  pam->getItem = reinterpret_cast<PamGetItemFn>(symbols[5]);
  return true;
}

// One step of a started transaction, run only while every earlier step
// succeeded; its value becomes the status.
int runStep(PamStepFn step, const char* name, pam_handle_t* handle, int status, int flags) {
  if (status != PAM_SUCCESS) {
    return status;
  }
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Invoking %s", name);
  status = step(handle, flags);
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "%s returned status %d", name, status);
  return status;
}

// What PAM's last status means to the policy: success, the two statuses
// passed through, or "some other failure".
PamAttempt mapStatus(int status) {
  if (status == PAM_SUCCESS) {
    return PamAttempt::Ok;
  }
  if (status == PAM_PERM_DENIED) {
    return PamAttempt::PermDenied;
  }
  if (status == PAM_AUTH_ERR) {
    return PamAttempt::AuthErr;
  }
  DORQ_TRACE(kTraceAlways, kAttemptFunction, "Pam returned an unexpected error. Error: %d code.",
             status);
  return PamAttempt::Other;
}

// After a fully successful transaction: PAM still names the user asked for,
// so the job runs as the user PAM authenticated. A module may change PAM_USER.
bool sameUser(const PamEntryPoints& pam, pam_handle_t* handle, const char* user) {
  const void* item = nullptr;
  const int status = pam.getItem(handle, PAM_USER, &item);
  const char* pamUser = status == PAM_SUCCESS ? static_cast<const char*>(item) : nullptr;
  if (pamUser != nullptr && strcmp(pamUser, user) == 0) {
    return true;
  }
  DORQ_TRACE(kTraceAlways, kAttemptFunction, "PAM authenticated another user: %s",
             pamUser != nullptr ? pamUser : "(none)");
  return false;
}

// pam_start, the three steps, the user check and pam_end, which runs exactly
// once because pam_start was invoked, whatever it returned. The library is
// released after pam_end and before the status is mapped.
PamAttempt runTransaction(const PamEntryPoints& pam, UniqueLibrary* library, const char* user,
                          const char* password, const char* service) {
  pam_conv_sdorq.conv = sdorqUserConv;
  pam_conv_sdorq.appdata_ptr = const_cast<char*>(password);
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Sending password.");
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Invoking pam_start");
  pam_handle_t* handle = nullptr;
  int status = pam.start(service, user, &pam_conv_sdorq, &handle);
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "pam_start returned status %d", status);

  status = runStep(pam.authenticate, "pam_authenticate", handle, status, kPamCheckFlags);
  status = runStep(pam.acctMgmt, "pam_acct_mgmt", handle, status, kPamCheckFlags);
  status = runStep(pam.setcred, "pam_setcred", handle, status, 0);
  const bool changed = status == PAM_SUCCESS && !sameUser(pam, handle, user);

  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Invoking pam_end");
  const int endStatus = pam.end(handle, changed ? PAM_AUTH_ERR : status);
  pam_conv_sdorq.appdata_ptr = nullptr;  // the password outlives no transaction
  if (endStatus != PAM_SUCCESS) {
    DORQ_TRACE(kTraceAlways, kAttemptFunction, "Error %d while invoking pam_end", endStatus);
    library->reset();
    return PamAttempt::Other;
  }
  library->reset();
  return changed ? PamAttempt::UserChanged : mapStatus(status);
}

PamAttempt attempt(const char* user, const char* password, const char* service) {
  UniqueLibrary library = openLibpam();
  if (!library.valid()) {
    return PamAttempt::NoLibrary;
  }
  PamEntryPoints pam;
  if (!resolveEntryPoints(library.get(), &pam)) {
    return PamAttempt::Other;  // the owner releases the library
  }
  return runTransaction(pam, &library, user, password, service);
}

// ---- Conversation ----

// Answers handed to PAM, which releases them with free(): the allocation
// wrappers are the C library's allocator underneath.
char* copyPassword(const char* password, size_t size) {
  char* copy = static_cast<char*>(ssMemMalloc(size));
  if (copy != nullptr) {
    memcpy(copy, password, size);
  }
  return copy;
}

// Wipes a password copy, then releases it.
void releasePassword(char* copy) {
  if (copy != nullptr) {
    explicit_bzero(copy, strlen(copy));
  }
  ssMemFree(copy);
}

// Releases every answer given so far and the array itself.
void releaseResponses(struct pam_response* responses, int count) {
  for (int i = 0; i < count; ++i) {
    releasePassword(responses[i].resp);
  }
  ssMemFree(responses);
}

// Fills the responses: each echo-off prompt takes the spare copy when one is
// in hand and otherwise a new one. False when a copy cannot be made; the
// caller then releases everything.
bool answerMessages(int num_msg, const struct pam_message** msg, struct pam_response* responses,
                    const char* password, size_t size, char** spare) {
  for (int i = 0; i < num_msg; ++i) {
    const struct pam_message* message = msg[i];
    DORQ_TRACE(kTraceAuth, kConvFunction, "processing i %d style %d msg> %s", i, message->msg_style,
               message->msg != nullptr ? message->msg : "");
    if (message->msg_style != PAM_PROMPT_ECHO_OFF) {
      DORQ_TRACE(kTraceAuth, kConvFunction, "Ignored Message");
      continue;
    }
    char* copy = *spare != nullptr ? *spare : copyPassword(password, size);
    *spare = nullptr;
    if (copy == nullptr) {
      DORQ_TRACE(kTraceAlways, kConvFunction, "Error allocating password copy");
      return false;
    }
    responses[i].resp = copy;
    responses[i].resp_retcode = 0;
    DORQ_TRACE(kTraceAuth, kConvFunction, "Provided password.");
  }
  return true;
}

int converse(int num_msg, const struct pam_message** msg, struct pam_response** resp,
             const char* password, size_t size, char** spare) {
  struct pam_response* responses = nullptr;
  if (num_msg >= 0 && num_msg <= kMaxConvMessages) {
    responses = static_cast<struct pam_response*>(
        ssMemCalloc(static_cast<size_t>(num_msg), sizeof(struct pam_response)));
  }
  *resp = responses;
  if (responses == nullptr) {
    DORQ_TRACE(kTraceAlways, kConvFunction, "Error allocating pam_response");
    return PAM_BUF_ERR;
  }
  DORQ_TRACE(kTraceAuth, kConvFunction, "num_msg : %d", num_msg);
  if (!answerMessages(num_msg, msg, responses, password, size, spare)) {
    releaseResponses(responses, num_msg);
    *resp = nullptr;
    return PAM_BUF_ERR;
  }
  return PAM_SUCCESS;
}

}  // namespace

PamAttempt sdorqPAMAuth(const char* user, const char* password, const char* service) {
  DORQ_TRACE(kTraceEntryOrAuth, kAttemptFunction, "Enter");
  DORQ_TRACE(kTraceAuth, kAttemptFunction, "Trying to authenticate with PAM service %s", service);
  const PamAttempt result = attempt(user, password, service);
  DORQ_TRACE(kTraceEntryOrAuth, kAttemptFunction, "Exit with status %d", static_cast<int>(result));
  return result;
}

// The password copy made on entry is the first echo-off prompt's answer; when
// it cannot be made, that prompt tries once more, and a copy that still cannot
// be made fails the whole call: every answer is released, *resp is null and
// the result is PAM_BUF_ERR. A copy no prompt took is released. A null
// appdata_ptr answers with an empty password.
extern "C" int sdorqUserConv(int num_msg, const struct pam_message** msg,
                             struct pam_response** resp, void* appdata_ptr) {
  const char* password = appdata_ptr != nullptr ? static_cast<const char*>(appdata_ptr) : "";
  const size_t size = strlen(password) + 1;
  char* spare = copyPassword(password, size);
  DORQ_TRACE(kTraceEntryOrAuth, kConvFunction, "Enter");
  DORQ_TRACE(kTraceAuth, kConvFunction, "Received password.");
  const int result = converse(num_msg, msg, resp, password, size, &spare);
  releasePassword(spare);
  DORQ_TRACE(kTraceEntryOrAuth, kConvFunction, "Exiting with status %d", result);
  return result;
}
