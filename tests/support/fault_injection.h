// Fault injection through the weak-alias seam of the portability wrappers.
// Linking fault_injection.cpp into a test binary replaces ssMemMalloc and the
// other wrappers for every caller in that binary: each call is counted, and a
// call chosen by number can be made to fail as the C library would. Unarmed,
// every call goes straight to the real wrapper.
#ifndef DORQ_TESTS_SUPPORT_FAULT_INJECTION_H
#define DORQ_TESTS_SUPPORT_FAULT_INJECTION_H

#include <errno.h>

#include <functional>

namespace dorq_test {

enum class Wrapper { Malloc, Calloc, Strdup, Fopen, Fclose, Open, Fdopen, Count };

// Every wrapper with its name and the errno its injected failure carries, for
// tests that fail each call of each wrapper in turn.
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

// Makes call number `callNumber` (1-based, counted from now) of `which` fail
// with `error` in errno; 0 disarms it. Resets that wrapper's count.
void armFault(Wrapper which, unsigned callNumber, int error);
// Disarms every fault, resets every count and removes the hook.
void resetFaults();
// Calls of `which` since its last reset.
unsigned callCount(Wrapper which);
// Called with the path before each real fopen and open (after counting), so a
// test can change the file just before it is opened.
void setOpenHook(std::function<void(const char* path)> hook);

}  // namespace dorq_test

#endif  // DORQ_TESTS_SUPPORT_FAULT_INJECTION_H
