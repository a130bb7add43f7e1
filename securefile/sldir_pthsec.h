// Security check of a directory path for a privileged process. Kept for the
// guarded open's interface: only its optional directory check calls it, which
// the program's flags never ask for.
#ifndef DORQ_SECUREFILE_SLDIR_PTHSEC_H
#define DORQ_SECUREFILE_SLDIR_PTHSEC_H

#include <stdint.h>

#include "securefile/slos_err.h"

// Deepest nesting of symbolic links at which a check still runs.
inline constexpr uint32_t kSldirMaxLinkDepth = 10;

// 1: every directory on the way (root excluded) is owned by the effective user
// or root and writable by neither group nor others, following links;
// 0: not secure (record untouched); negative: the check failed (record filled).
int SldirIsPthSec(const char* path, slosErrRec* record);
// The recursive worker; depth counts the links being followed.
int SldirIsPthSec_int(const char* path, slosErrRec* record, uint32_t depth);

#endif  // DORQ_SECUREFILE_SLDIR_PTHSEC_H
