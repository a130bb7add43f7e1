// Fault injection through the weak-alias seam of the portability wrappers:
// fault_injection.cpp, linked into a test binary, replaces ssMemMalloc and the
// other wrappers for every caller there. Each call is counted, and a call
// chosen by number fails as the C library would; unarmed, each goes through.
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

// Call `callNumber` (from 1, counted from now; 0: none) of `which` fails with
// `error`. resetFaults disarms all, zeroes every count and removes the hook,
// which is called with the path before each real fopen and open (after the
// count), so a test can change the file just before it is opened.
void armFault(Wrapper which, unsigned callNumber, int error);
void resetFaults();
unsigned callCount(Wrapper which);
void setOpenHook(std::function<void(const char* path)> hook);

}  // namespace dorq_test

#endif  // DORQ_TESTS_SUPPORT_FAULT_INJECTION_H
