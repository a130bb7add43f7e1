// The cancel signals: blocked and read through a signal descriptor.
#include "app/base/sdorq_signals.h"

#include <errno.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

namespace {

// The watch: the descriptor, the mask dorq was started with, and the first
// cancel that arrived.
struct CancelWatch {
  int fd = -1;
  sigset_t callerMask{};
  int first = 0;
};
CancelWatch watch;

constexpr unsigned kMillisecondsPerSecond = 1000;
constexpr long kNanosecondsPerMillisecond = 1000000;

// A look first, so that nothing pending costs no failed call: a child that
// shares dorq's memory until its exec shares errno too.
int readOne() {
  pollfd pending{watch.fd, POLLIN, 0};
  if (watch.fd < 0 || poll(&pending, 1, 0) != 1) {
    return 0;
  }
  signalfd_siginfo info{};
  ssize_t got = -1;
  do {
    got = read(watch.fd, &info, sizeof info);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

int64_t nowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kMillisecondsPerSecond +
         now.tv_nsec / kNanosecondsPerMillisecond;
}

// Without a watch: the whole pause, even when a signal cuts a sleep short.
void sleepUnwatched(unsigned milliseconds) {
  if (milliseconds % kMillisecondsPerSecond == 0) {
    for (unsigned left = milliseconds / kMillisecondsPerSecond; left > 0;) {
      left = sleep(left);
    }
    return;
  }
  timespec left{
      static_cast<time_t>(milliseconds / kMillisecondsPerSecond),
      static_cast<long>(milliseconds % kMillisecondsPerSecond) * kNanosecondsPerMillisecond};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

void sdorqWatchCancel() {
  (void)sigprocmask(SIG_SETMASK, nullptr, &watch.callerMask);
  sigset_t watched;
  sigemptyset(&watched);
  for (const int signal : kCancelSignals) {
    struct sigaction current {};
    // A signal the caller has dorq ignore stays ignored: neither caught nor
    // sent on. (A blocked signal would be queued even when ignored.)
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      sigaddset(&watched, signal);
    }
  }
  const int fd = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) {
    return;
  }
  if (sigprocmask(SIG_BLOCK, &watched, nullptr) != 0) {
    close(fd);
    return;
  }
  watch.fd = fd;
}

int sdorqCancelFd() {
  return watch.fd;
}

int sdorqCancelled() {
  if (watch.first == 0) {
    watch.first = readOne();
  }
  return watch.first;
}

int sdorqNextCancelSignal() {
  return readOne();
}

const sigset_t& sdorqCallerSignalMask() {
  return watch.callerMask;
}

bool sdorqPauseUnlessCancelled(unsigned milliseconds) {
  if (watch.fd < 0) {
    sleepUnwatched(milliseconds);
    return true;
  }
  const int64_t end = nowMilliseconds() + milliseconds;
  for (int64_t left = milliseconds; left > 0; left = end - nowMilliseconds()) {
    if (sdorqCancelled() != 0) {
      return false;
    }
    pollfd cancel{watch.fd, POLLIN, 0};
    (void)poll(&cancel, 1, static_cast<int>(left));
  }
  return sdorqCancelled() == 0;
}
