// The optional directory checks of the guarded open (flags 0x010, 0x020).
// Kept only for the guarded open's interface: the program's one caller, the
// settings read, passes flags 0, so neither check runs in the program.
#ifndef DORQ_SECUREFILE_SLF_DIRCHECK_H
#define DORQ_SECUREFILE_SLF_DIRCHECK_H

#include <stdint.h>

#include <string_view>

#include "securefile/slos_err.h"

// Checks the directory part of the composed path as flags ask: 0x020 the
// path security check, 0x010 that the directory is written as it resolves.
// hasDir tells whether the caller gave a directory argument. True to go on;
// false when refused, with the record filled.
bool slfCheckDirectory(std::string_view path, bool hasDir, int32_t flags, slosErrRec* record);

#endif  // DORQ_SECUREFILE_SLF_DIRCHECK_H
