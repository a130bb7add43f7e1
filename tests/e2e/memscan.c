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
  char line[512];
  int found = 0;
  while (!found && fgets(line, sizeof line, maps) != NULL) {
    unsigned long start = 0, end = 0;
    char perms[5] = "";
    if (sscanf(line, "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
        strstr(line, "[vvar") != NULL) {
      continue;
    }
    char* region = malloc(end - start);
    const ssize_t got = region == NULL ? -1 : pread(mem, region, end - start, (off_t)start);
    found = got > 0 && memmem(region, (size_t)got, argv[2], textLength) != NULL;
    free(region);
  }
  return found ? 0 : 1;
}
