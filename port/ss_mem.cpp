// Memory wrappers: forward to the C library allocator unchanged.
#include "port/ss_wrappers.h"

#include <stdlib.h>
#include <string.h>

extern "C" {

void* ss_mem_walc(size_t size) {
  return malloc(size);
}
void ss_mem_wfre(void* p) {
  free(p);
}
void* ss_mem_wcalloc(size_t count, size_t size) {
  return calloc(count, size);
}
char* ss_mem_wstrdup(const char* text) {
  return strdup(text);
}

void* ssMemMalloc(size_t size) __attribute__((weak, alias("ss_mem_walc")));
void ssMemFree(void* p) __attribute__((weak, alias("ss_mem_wfre")));
void* ssMemCalloc(size_t count, size_t size) __attribute__((weak, alias("ss_mem_wcalloc")));
char* ssMemStrdup(const char* text) __attribute__((weak, alias("ss_mem_wstrdup")));

}  // extern "C"
