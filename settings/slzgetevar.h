// Settings lookup: a named setting from the environment, or, for names missing
// there, from the installation's settings file, read once per process.
#ifndef DORQ_SETTINGS_SLZGETEVAR_H
#define DORQ_SETTINGS_SLZGETEVAR_H

#include <stddef.h>
#include <stdint.h>

// Error numbers stored in the caller's slot.
inline constexpr uint32_t kSlzOk = 0;
inline constexpr uint32_t kSlzInvalid = 21100;
inline constexpr uint32_t kSlzTooLong = 21101;
inline constexpr uint32_t kSlzNotSet = 21104;

// Results other than a length.
inline constexpr int32_t kSlzResultNotSet = -1;
inline constexpr int32_t kSlzResultError = -2;

// Capacities.
inline constexpr size_t kSlzMaxName = 63;
inline constexpr size_t kSlzMaxFileValue = 1024;
inline constexpr size_t kSlzMaxEnvValue = 4096;
inline constexpr size_t kSlzLineBuffer = 1089;
inline constexpr int kSlzMaxChain = 256;
// Options bit 0: follow environment values as names of further variables.
inline constexpr uint32_t kSlzOptIndirect = 0x1;

// Returns the value's length (1 or more), -1 when not set, -2 on error; the
// value is written to buf without a terminator.
int32_t slzgetevar(uint32_t* errnum, const char* name, uint64_t namelen, char* buf,
                   uint64_t bufsize, uint32_t options);

// 0 when the cache is usable, -1 when the file could not be read now.
int slzgetevarf_read_default();
// 0 and two new texts, -1 no accepted setting on the line, -2 out of memory.
int slzgetevarf_parseline(const char* line, char** nameOut, char** valueOut);

extern "C" {
// Registered with atexit; releases the cache.
void slzgetevarf_cleanup(void);
}

#endif  // DORQ_SETTINGS_SLZGETEVAR_H
