// SIGPIPE: ignored by dorq, given back to the job.
#include "app/sdorq_signals.h"

namespace {

struct sigaction inheritedSigpipe {};

}  // namespace

void sdorqIgnoreSigpipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &inheritedSigpipe);
}

const struct sigaction& sdorqInheritedSigpipe() {
  return inheritedSigpipe;
}
