// Stream, descriptor and mutex wrappers: forward to the C library unchanged.
#include "port/ss_wrappers.h"

#include <fcntl.h>

extern "C" {

FILE* ss_osw_wfopen(const char* path, const char* mode) {
  return fopen(path, mode);
}
int ss_osw_wfclose(FILE* stream) {
  return fclose(stream);
}
FILE* ss_osw_wfdopen(int fd, const char* mode) {
  return fdopen(fd, mode);
}
// Built with _FILE_OFFSET_BITS=64, so this is the large-file open.
int ss_osw_wopen(const char* path, int flags, int mode) {
  return open(path, flags, static_cast<mode_t>(mode));
}
int ss_osw_wpthread_mutex_lock(pthread_mutex_t* mutex) {
  return pthread_mutex_lock(mutex);
}
int ss_osw_wpthread_mutex_unlock(pthread_mutex_t* mutex) {
  return pthread_mutex_unlock(mutex);
}

FILE* ssOswFopen(const char* path, const char* mode) __attribute__((weak, alias("ss_osw_wfopen")));
int ssOswFclose(FILE* stream) __attribute__((weak, alias("ss_osw_wfclose")));
FILE* ssOswFdopen(int fd, const char* mode) __attribute__((weak, alias("ss_osw_wfdopen")));
int ssOswOpen(const char* path, int flags, int mode) __attribute__((weak, alias("ss_osw_wopen")));
int ssOswPthread_mutex_lock(pthread_mutex_t* mutex)
    __attribute__((weak, alias("ss_osw_wpthread_mutex_lock")));
int ssOswPthread_mutex_unlock(pthread_mutex_t* mutex)
    __attribute__((weak, alias("ss_osw_wpthread_mutex_unlock")));

}  // extern "C"
