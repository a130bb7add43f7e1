// What a shell cannot do: "dorq_memscan PID TEXT" reads every readable
// region of process PID's memory (as root) and exits 0 when TEXT is found
// in it, 1 when it is not, 2 when the memory could not be read.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: dorq_memscan PID TEXT\n");
    return 2;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/maps", argv[1]);
  FILE* maps = fopen(path, "r");
  snprintf(path, sizeof path, "/proc/%s/mem", argv[1]);
  const int mem = open(path, O_RDONLY);
  if (maps == NULL || mem < 0) {
    perror("dorq_memscan");
    return 2;
  }
  const size_t textLength = strlen(argv[2]);
  // Read in pieces that overlap by the text's length; regions past 1 GiB are
  // a sanitizer's shadow, which holds no program data.
  enum { kPiece = 1 << 20 };
  const unsigned long kLargest = 1UL << 30;
  char* piece = malloc(kPiece + textLength);
  char line[512];
  int found = 0;
  while (piece != NULL && !found && fgets(line, sizeof line, maps) != NULL) {
    unsigned long start = 0, end = 0;
    char perms[5] = "";
    if (sscanf(line, "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
        strstr(line, "[vvar") != NULL || end - start > kLargest) {
      continue;
    }
    for (unsigned long at = start; !found && at < end; at += kPiece) {
      const size_t want = end - at < kPiece + textLength ? end - at : kPiece + textLength;
      const ssize_t got = pread(mem, piece, want, (off_t)at);
      found = got > 0 && memmem(piece, (size_t)got, argv[2], textLength) != NULL;
    }
  }
  free(piece);
  return found ? 0 : 1;
}
