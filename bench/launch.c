/* dorq_bench_launch: what hyperfine times. It forks, and the child reads its
   standard input from INPUT, takes the ids -u names (no supplementary
   groups) and executes PROGRAM with the environment PATH=/usr/bin:/bin
   alone; the launcher reaps it and exits with its status (128 + the signal
   that ended it). With -j WIDTH -n COUNT it makes COUNT such launches, a new
   one as soon as one ends, WIDTH at a time, and exits with the first
   non-zero status (0 when every launch exited 0).

   Usage: dorq_bench_launch [-u UID:GID] [-j WIDTH -n COUNT] INPUT PROGRAM [ARG...] */
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kSetupFailed = 127, kSignalBase = 128, kUsage = 2 };

struct Launch {
  const char* input;
  char** argv; /* PROGRAM [ARG...], ending with NULL */
  int switchIds;
  uid_t uid;
  gid_t gid;
};

static char pathEntry[] = "PATH=/usr/bin:/bin";
static char* environment[] = {pathEntry, NULL};

static void childFailed(const char* what) {
  dprintf(2, "dorq_bench_launch: %s: %s\n", what, strerror(errno));
  _exit(kSetupFailed);
}

/* The child, from the fork to the exec: system calls only. */
static void becomeProgram(const struct Launch* launch) {
  const int fd = open(launch->input, O_RDONLY);
  if (fd < 0 || dup2(fd, 0) < 0) {
    childFailed(launch->input);
  }
  if (fd != 0) {
    close(fd);
  }
  if (launch->switchIds &&
      (setgroups(0, NULL) != 0 || setresgid(launch->gid, launch->gid, launch->gid) != 0 ||
       setresuid(launch->uid, launch->uid, launch->uid) != 0)) {
    childFailed("switch ids");
  }
  execve(launch->argv[0], launch->argv, environment);
  childFailed(launch->argv[0]);
}

/* Waits for any child; its status (128 + the signal that ended it), or -1 when none is left. */
static int reapOne(void) {
  int status = 0;
  while (wait(&status) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kSignalBase + WTERMSIG(status);
}

static int launchAll(const struct Launch* launch, long width, long count) {
  long started = 0;
  long running = 0;
  int first = 0;
  while (started < count || running > 0) {
    for (; started < count && running < width; ++started, ++running) {
      const pid_t pid = fork();
      if (pid == 0) {
        becomeProgram(launch);
      }
      if (pid < 0) {
        perror("dorq_bench_launch: fork");
        return kSetupFailed;
      }
    }
    const int status = reapOne();
    if (status < 0) {
      return kSetupFailed;
    }
    --running;
    first = first != 0 ? first : status;
  }
  return first;
}

static int parseIds(const char* text, struct Launch* launch) {
  char* end = NULL;
  const unsigned long uid = strtoul(text, &end, 10);
  if (*end != ':') {
    return -1;
  }
  const unsigned long gid = strtoul(end + 1, &end, 10);
  launch->uid = (uid_t)uid;
  launch->gid = (gid_t)gid;
  launch->switchIds = 1;
  return *end == '\0' ? 0 : -1;
}

static int usage(void) {
  fputs("usage: dorq_bench_launch [-u UID:GID] [-j WIDTH -n COUNT] INPUT PROGRAM [ARG...]\n",
        stderr);
  return kUsage;
}

int main(int argc, char** argv) {
  struct Launch launch = {NULL, NULL, 0, 0, 0};
  long width = 1;
  long count = 1;
  int option = 0;
  while ((option = getopt(argc, argv, "+u:j:n:")) != -1) {
    if (option == 'u' && parseIds(optarg, &launch) == 0) {
      continue;
    }
    if (option == 'j' || option == 'n') {
      *(option == 'j' ? &width : &count) = strtol(optarg, NULL, 10);
      continue;
    }
    return usage();
  }
  if (argc - optind < 2 || width < 1 || count < 1) {
    return usage();
  }
  launch.input = argv[optind];
  launch.argv = argv + optind + 1;
  return launchAll(&launch, width, count);
}
