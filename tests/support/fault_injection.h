// Linked into a test binary, fault_injection.cpp replaces the wrappers' weak aliases (ssMemMalloc
// and the others) for every caller: each call is counted, and one chosen by number fails as the
// C library would.
#ifndef DORQ_TESTS_SUPPORT_FAULT_INJECTION_H
#define DORQ_TESTS_SUPPORT_FAULT_INJECTION_H

#include <errno.h>

#include <functional>

namespace dorq_test {

enum class Wrapper { Malloc, Calloc, Strdup, Fopen, Fclose, Open, Fdopen, Count };

// Every wrapper with its name and the errno of its injected failure.
struct WrapperCase {
  Wrapper wrapper;
  const char* name;
  int error;
};
inline constexpr WrapperCase kWrappers[] = {
    {Wrapper::Malloc, "ssMemMalloc", ENOMEM}, {Wrapper::Calloc, "ssMemCalloc", ENOMEM},
    {Wrapper::Strdup, "ssMemStrdup", ENOMEM}, {Wrapper::Fopen, "ssOswFopen", EMFILE},
    {Wrapper::Fclose, "ssOswFclose", EIO},    {Wrapper::Open, "ssOswOpen", EMFILE},
    {Wrapper::Fdopen, "ssOswFdopen", ENOMEM},
};

// Call `callNumber` (from 1, counted from now; 0: none) of `which` fails with `error`. The hook
// sees the path before each real fopen and open, so a test can swap the file; resetFaults
// disarms all, zeroes every count and removes it.
void armFault(Wrapper which, unsigned callNumber, int error);
void resetFaults();
unsigned callCount(Wrapper which);
void setOpenHook(std::function<void(const char* path)> hook);

}  // namespace dorq_test

#endif  // DORQ_TESTS_SUPPORT_FAULT_INJECTION_H
