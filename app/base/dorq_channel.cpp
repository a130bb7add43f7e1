// The status channel.
#include "app/base/dorq_channel.h"

#include <stdio.h>
#include <string.h>

#include "app/base/sdorq_identity.h"

namespace {

// The words an event writes: up to two, in order; the status itself where
// the event's own word is its status.
struct EventWords {
  DorqEvent event;
  bool first;  // a first word: the status, or 10 for a failed start
  bool zero;   // then word 0
};
constexpr EventWords kEventWords[] = {
    {DorqEvent::JobStarted, false, true},       {DorqEvent::StartFailed, true, true},
    {DorqEvent::StartFailedQuiet, false, true}, {DorqEvent::NotSpawned, true, false},
    {DorqEvent::KillAnswered, true, false},
};

// One byte to standard output, flushed; a failing write or flush changes
// nothing: the exit status still tells.
void writeWord(DorqStatus status) {
  const auto word = static_cast<unsigned char>(dorqStatusCode(status));
  const AsCaller asCaller;
  if (asCaller.active()) {
    (void)fwrite(&word, 1, 1, stdout);
    (void)fflush(stdout);
  }
}

}  // namespace

void sdorqWriteStatusWord(DorqStatus status) {
  writeWord(status);
}

int dorqFormatFrame(char (&buf)[kFrameBuffer], int code) {
  memset(buf, 0, sizeof buf);
  const int length = snprintf(buf, sizeof buf, DORQ_FRAME_FORMAT, kFrameOpen, code, kFrameClose);
  return length < 0 ? 0 : static_cast<int>(strnlen(buf, sizeof buf));
}

void dorqWriteFrame(DorqStatus status) {
  char frame[kFrameBuffer];
  const int length = dorqFormatFrame(frame, dorqStatusCode(status));
  const AsCaller asCaller;
  if (asCaller.active()) {
    (void)fwrite(frame, static_cast<size_t>(length), 1, stderr);
  }
}

void StatusChannel::report(DorqEvent event, DorqStatus status) const {
  if (!wordsWanted_) {
    return;
  }
  for (const EventWords& e : kEventWords) {
    if (e.event != event) {
      continue;
    }
    if (e.first) {
      writeWord(event == DorqEvent::StartFailed ? DorqStatus::ExecFailed : status);
    }
    if (e.zero) {
      writeWord(DorqStatus::Ok);
    }
  }
}

void StatusChannel::finish(DorqStatus status) const {
  if (status == DorqStatus::Ok) {
    return;
  }
  if (wordsWanted_) {
    writeWord(status);
  }
  dorqWriteFrame(status);
}

void StatusChannel::finishUnread(DorqStatus status) {
  dorqWriteFrame(status);
}
