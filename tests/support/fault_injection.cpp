#include "tests/support/fault_injection.h"

#include <array>
#include <utility>

#include "port/ss_wrappers.h"

namespace dorq_test {
namespace {

struct Plan {
  unsigned calls, failAt;
  int error;
};
std::array<Plan, static_cast<size_t>(Wrapper::Count)> plans;
std::function<void(const char*)> openHook;

// Counts the call; true when it is the one to fail (errno then set). An open
// that goes ahead runs the hook on its path first.
bool fails(Wrapper which, const char* path = nullptr) {
  Plan& plan = plans[static_cast<size_t>(which)];
  if (++plan.calls == plan.failAt) {
    errno = plan.error;
    return true;
  }
  if (path != nullptr && openHook) {
    openHook(path);
  }
  return false;
}

}  // namespace

void armFault(Wrapper which, unsigned callNumber, int error) {
  plans[static_cast<size_t>(which)] = Plan{0, callNumber, error};
}
void resetFaults() {
  plans = {};
  openHook = nullptr;
}
unsigned callCount(Wrapper which) {
  return plans[static_cast<size_t>(which)].calls;
}
void setOpenHook(std::function<void(const char*)> hook) {
  openHook = std::move(hook);
}

// The C names are global wherever they are defined, so they sit here beside fails().
// clang-format off
extern "C" {
void* ssMemMalloc(size_t size) { return fails(Wrapper::Malloc) ? nullptr : ss_mem_walc(size); }
void* ssMemCalloc(size_t n, size_t size) { return fails(Wrapper::Calloc) ? nullptr : ss_mem_wcalloc(n, size); }
char* ssMemStrdup(const char* text) { return fails(Wrapper::Strdup) ? nullptr : ss_mem_wstrdup(text); }
FILE* ssOswFdopen(int fd, const char* mode) { return fails(Wrapper::Fdopen) ? nullptr : ss_osw_wfdopen(fd, mode); }
FILE* ssOswFopen(const char* path, const char* mode) { return fails(Wrapper::Fopen, path) ? nullptr : ss_osw_wfopen(path, mode); }
int ssOswOpen(const char* path, int flags, int mode) { return fails(Wrapper::Open, path) ? -1 : ss_osw_wopen(path, flags, mode); }
// A failed close still releases the stream, as fclose does on a write error.
int ssOswFclose(FILE* stream) {
  if (!fails(Wrapper::Fclose)) { return ss_osw_wfclose(stream); }
  const int error = errno;
  ss_osw_wfclose(stream);
  errno = error;
  return -1;
}
}  // extern "C"
// clang-format on

}  // namespace dorq_test
