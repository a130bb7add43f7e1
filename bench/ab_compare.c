// Two builds of dorq, launch by launch: ab_compare NEW OLD COUNT, as root, with
// the request in /tmp/req. Prints the median wall time of each, and the
// median of the differences between the two launches of each pair.
// Alternating the builds, the first of a pair in turn, keeps the machine's
// other work out of the difference.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int compare(const void* a, const void* b) {
  const double x = *(const double*)a;
  const double y = *(const double*)b;
  return (x > y) - (x < y);
}

static double launch(const char* program) {
  const double start = now();
  const pid_t child = fork();
  if (child == 0) {
    const int request = open("/tmp/req", O_RDONLY);
    const int null = open("/dev/null", O_WRONLY);
    dup2(request, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(program, program, (char*)NULL);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return now() - start;
}

int main(int argc, char** argv) {
  const int count = argc == 4 ? atoi(argv[3]) : 0;
  if (count <= 0) {
    fprintf(stderr, "usage: ab_compare NEW OLD COUNT\n");
    return 2;
  }
  double* times = calloc(3 * (size_t)count, sizeof *times);  // NEW, OLD, NEW - OLD
  if (times == NULL) {
    return 1;
  }
  double* a = times;
  double* b = times + count;
  double* d = times + 2 * (size_t)count;
  for (int i = 0; i < count; ++i) {
    const int newFirst = i % 2 == 0;
    const double first = launch(newFirst ? argv[1] : argv[2]);
    const double second = launch(newFirst ? argv[2] : argv[1]);
    a[i] = newFirst ? first : second;
    b[i] = newFirst ? second : first;
    d[i] = a[i] - b[i];
  }
  qsort(a, (size_t)count, sizeof *a, compare);
  qsort(b, (size_t)count, sizeof *b, compare);
  qsort(d, (size_t)count, sizeof *d, compare);
  printf("median NEW %.3f ms  OLD %.3f ms  difference %.3f ms  paired %.3f ms\n", a[count / 2],
         b[count / 2], a[count / 2] - b[count / 2], d[count / 2]);
  free(times);
  return 0;
}
