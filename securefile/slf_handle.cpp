// SlfFile handles: allocated and released through the memory wrappers.
#include "securefile/slf_handle.h"

#include <stdio.h>

#include "port/ss_wrappers.h"

SlfFile* slfNewHandle(void* stream, uint8_t isVfs) {
  auto* handle = static_cast<SlfFile*>(ssMemMalloc(sizeof(SlfFile)));
  if (handle != nullptr) {
    handle->stream = stream;
    handle->isVfs = isVfs;
  }
  return handle;
}

void slfFreeHandle(SlfFile* handle) {
  ssMemFree(handle);
}

void slfDiscard(SlfFile* handle) {
  (void)ssOswFclose(static_cast<FILE*>(handle->stream));
  slfFreeHandle(handle);
}
