// The status word and the status frame.
#include <stdio.h>
#include <string.h>

#include "app/dorq_status.h"

void sdorqWriteStatusWord(int code) {
  const unsigned char word = static_cast<unsigned char>(code & 0xFF);
  // A failing write or flush changes nothing: the exit status still tells.
  (void)fwrite(&word, 1, 1, stdout);
  (void)fflush(stdout);
}

int dorqFormatFrame(char (&buf)[kFrameBuffer], int code) {
  memset(buf, 0, sizeof buf);
  const int length = snprintf(buf, sizeof buf, DORQ_FRAME_FORMAT, kFrameOpen, code, kFrameClose);
  return length < 0 ? 0 : static_cast<int>(strnlen(buf, sizeof buf));
}

void dorqWriteFrame(int code) {
  char frame[kFrameBuffer];
  const int length = dorqFormatFrame(frame, code);
  (void)fwrite(frame, static_cast<size_t>(length), 1, stderr);
}
