#include "tests/support/fault_injection.h"

#include <errno.h>

#include <array>
#include <utility>

#include "port/ss_wrappers.h"

namespace dorq_test {
namespace {

struct Plan {
  unsigned calls = 0;
  unsigned failAt = 0;
  int error = 0;
};

std::array<Plan, static_cast<size_t>(Wrapper::Count)> plans;
std::function<void(const char*)> fopenHook;
std::function<void(const char*, int, int)> openHook;

// Counts the call; true when this call is the one to fail (errno then set).
bool shouldFail(Wrapper which) {
  Plan& plan = plans[static_cast<size_t>(which)];
  ++plan.calls;
  if (plan.failAt != 0 && plan.calls == plan.failAt) {
    errno = plan.error;
    return true;
  }
  return false;
}

}  // namespace

void armFault(Wrapper which, unsigned callNumber, int error) {
  plans[static_cast<size_t>(which)] = Plan{0, callNumber, error};
}

void resetFaults() {
  plans = {};
  fopenHook = nullptr;
  openHook = nullptr;
}

unsigned callCount(Wrapper which) {
  return plans[static_cast<size_t>(which)].calls;
}

void setFopenHook(std::function<void(const char*)> hook) {
  fopenHook = std::move(hook);
}

void setOpenHook(std::function<void(const char*, int, int)> hook) {
  openHook = std::move(hook);
}

}  // namespace dorq_test

using dorq_test::Wrapper;

extern "C" {

void* ssMemMalloc(size_t size) {
  return dorq_test::shouldFail(Wrapper::Malloc) ? nullptr : ss_mem_walc(size);
}
void* ssMemCalloc(size_t count, size_t size) {
  return dorq_test::shouldFail(Wrapper::Calloc) ? nullptr : ss_mem_wcalloc(count, size);
}
char* ssMemStrdup(const char* text) {
  return dorq_test::shouldFail(Wrapper::Strdup) ? nullptr : ss_mem_wstrdup(text);
}
void ssMemFree(void* p) {
  ss_mem_wfre(p);
}
FILE* ssOswFopen(const char* path, const char* mode) {
  if (dorq_test::shouldFail(Wrapper::Fopen)) {
    return nullptr;
  }
  if (dorq_test::fopenHook) {
    dorq_test::fopenHook(path);
  }
  return ss_osw_wfopen(path, mode);
}
// A failed close still releases the stream, as fclose does on a write error.
int ssOswFclose(FILE* stream) {
  if (dorq_test::shouldFail(Wrapper::Fclose)) {
    const int error = errno;
    ss_osw_wfclose(stream);
    errno = error;
    return -1;
  }
  return ss_osw_wfclose(stream);
}
FILE* ssOswFdopen(int fd, const char* mode) {
  return dorq_test::shouldFail(Wrapper::Fdopen) ? nullptr : ss_osw_wfdopen(fd, mode);
}
int ssOswOpen(const char* path, int flags, int mode) {
  if (dorq_test::shouldFail(Wrapper::Open)) {
    return -1;
  }
  if (dorq_test::openHook) {
    dorq_test::openHook(path, flags, mode);
  }
  return ss_osw_wopen(path, flags, mode);
}

}  // extern "C"
