// Allocation and release of the SlfFile handles that the opens hand out.
#ifndef DORQ_SECUREFILE_SLF_HANDLE_H
#define DORQ_SECUREFILE_SLF_HANDLE_H

#include <stdint.h>

#include "securefile/slf_file.h"

// A new handle through ssMemMalloc; null (errno as the allocator left it)
// when there is no memory.
SlfFile* slfNewHandle(void* stream, uint8_t isVfs);
// Releases the handle only; what it refers to is the caller's business.
void slfFreeHandle(SlfFile* handle);
// Closes the C stream of a handle that an open made itself and releases the
// handle; for the failure paths that must leave nothing open.
void slfDiscard(SlfFile* handle);

#endif  // DORQ_SECUREFILE_SLF_HANDLE_H
