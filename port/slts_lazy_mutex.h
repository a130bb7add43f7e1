// A mutex that zero-filled storage makes valid: the first sltsima on it
// initialises it under the process-wide sltsqgm, later ones only lock.
#ifndef DORQ_PORT_SLTS_LAZY_MUTEX_H
#define DORQ_PORT_SLTS_LAZY_MUTEX_H

#include <pthread.h>
#include <stdint.h>

struct sltsLazyMutex {
  uint32_t initialised;  // 1 once mutex is initialised; anything else: not yet
  pthread_mutex_t mutex;
};

// Serialises the first-use initialisation of every sltsLazyMutex.
extern pthread_mutex_t sltsqgm;

// Initialises the mutex on first use, then locks it; returns the lock result.
int sltsima(sltsLazyMutex* lock);
// Unlocks a mutex the caller holds; returns the unlock result.
int sltsimr(sltsLazyMutex* lock);

#endif  // DORQ_PORT_SLTS_LAZY_MUTEX_H
