// Deferred signal handling: per-thread depth of deferral sections and the set
// of signals that arrived meanwhile, and their re-delivery to the thread.
// Kept for the self-initialising lock's interface: nothing in the program
// sets a pending signal, so the re-delivery finds none.
#ifndef DORQ_PORT_SSLSS_SIGNALS_H
#define DORQ_PORT_SSLSS_SIGNALS_H

#include <stdint.h>

// Depth of the calling thread's sections during which signals are deferred.
extern thread_local int32_t sslss_async_call_cnt_;
// Bit n set: signal n arrived while deferred and is still to be delivered.
extern thread_local uint32_t sslss_sig_pending_;

// The si_value that marks a re-delivered signal.
inline constexpr long long kSslssRedeliveryValue = 0x10DE7A4EDLL;

// Re-delivers the calling thread's pending signals 1 to 30, lowest first.
void sslss_sigset_raise_signals();

#endif  // DORQ_PORT_SSLSS_SIGNALS_H
