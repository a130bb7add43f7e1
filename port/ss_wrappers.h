// Thin wrappers over the memory, stream, descriptor and mutex calls of the
// library layers. Each wrapper is defined under its strong name and exported
// under its ssMem/ssOsw name as a weak alias; every caller uses the alias, so a
// definition of the alias elsewhere in a program (a test's fault injector, for
// instance) replaces the wrapper for all callers at link time. The wrappers add
// nothing: no retry, no error mapping, errno exactly as the C library left it.
#ifndef DORQ_PORT_SS_WRAPPERS_H
#define DORQ_PORT_SS_WRAPPERS_H

#include <pthread.h>
#include <stddef.h>
#include <stdio.h>

extern "C" {

// Strong names.
void* ss_mem_walc(size_t size);
void ss_mem_wfre(void* p);
void* ss_mem_wcalloc(size_t count, size_t size);
char* ss_mem_wstrdup(const char* text);
FILE* ss_osw_wfopen(const char* path, const char* mode);
int ss_osw_wfclose(FILE* stream);
FILE* ss_osw_wfdopen(int fd, const char* mode);
int ss_osw_wopen(const char* path, int flags, int mode);
int ss_osw_wpthread_mutex_lock(pthread_mutex_t* mutex);
int ss_osw_wpthread_mutex_unlock(pthread_mutex_t* mutex);

// Weak aliases; the names every caller uses.
void* ssMemMalloc(size_t size);
void ssMemFree(void* p);
void* ssMemCalloc(size_t count, size_t size);
char* ssMemStrdup(const char* text);
FILE* ssOswFopen(const char* path, const char* mode);
int ssOswFclose(FILE* stream);
FILE* ssOswFdopen(int fd, const char* mode);
int ssOswOpen(const char* path, int flags, int mode);
int ssOswPthread_mutex_lock(pthread_mutex_t* mutex);
int ssOswPthread_mutex_unlock(pthread_mutex_t* mutex);

}  // extern "C"

#endif  // DORQ_PORT_SS_WRAPPERS_H
