// The signals by which a scheduler cancels a run (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT, SIGUSR1, SIGUSR2). Once the request has been read, dorq blocks
// every one of them that it was not started with ignored and reads them
// through a signal descriptor: no handler ever runs, so the job's child
// inherits no handler of dorq's, and the dispositions dorq was started with
// are the job's. Before the job exists such a signal ends the request; once
// it runs, each one is sent on to the job's process group.
#ifndef DORQ_APP_BASE_SDORQ_SIGNALS_H
#define DORQ_APP_BASE_SDORQ_SIGNALS_H

#include <signal.h>

#include <array>

// The signals a cancel may come as, in the order the manual lists them.
inline constexpr std::array<int, 6> kCancelSignals = {SIGTERM, SIGINT,  SIGHUP,
                                                      SIGQUIT, SIGUSR1, SIGUSR2};

// Blocks the cancel signals that are not ignored and opens the descriptor
// (close-on-exec, non-blocking) that reads them. Without it (a signal
// descriptor the kernel refuses) nothing is blocked and the signals keep
// their default action.
void sdorqWatchCancel();
// The descriptor to poll for a cancel, or -1 when none is watched.
int sdorqCancelFd();
// The first cancel signal that has arrived, reading what is pending: 0 when
// none has.
int sdorqCancelled();
// Takes the next pending cancel signal off the descriptor, for the relay to
// the job: its number, or 0 when none is pending. A signal taken here does
// not count as the request's cancel.
int sdorqNextCancelSignal();
// The signal mask dorq was started with: the job's child sets it again just
// before its exec. Async-signal-safe to read.
const sigset_t& sdorqCallerSignalMask();
// Waits milliseconds unless a cancel arrives first: false when cancelled.
// Without a watch it sleeps (sleep(3) for whole seconds).
bool sdorqPauseUnlessCancelled(unsigned milliseconds);

#endif  // DORQ_APP_BASE_SDORQ_SIGNALS_H
