// Authentication cases run in a forked child with every trace line on its
// standard error, so that nothing the child mounts or loads reaches the test
// process.
#ifndef DORQ_TESTS_APP_AUTH_SUPPORT_H
#define DORQ_TESTS_APP_AUTH_SUPPORT_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "app/dorq_trace.h"

namespace dorq_test {

// Added to a child's result when libpam was still loaded after the attempt.
inline constexpr int kStillLoaded = 100;

inline bool libpamLoaded() {
  for (const char* name : {"libpam.so", "libpam.so.0"}) {
    if (void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(handle);
      return true;
    }
  }
  return false;
}

struct ChildOutcome {
  int status = -1;     // the child's exit status; -1 when it did not exit
  std::string output;  // its standard error: every trace line
};

// The child ends with body's result. A sandbox that cannot be set up throws,
// which ends the child on a signal (status -1).
inline ChildOutcome runInChild(const std::function<int()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return {};
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    dorqTraceLevel = static_cast<int32_t>(kTraceCategories | kTraceSinkStderr);
    const int code = body();
    fflush(nullptr);
    _exit(code);
  }
  close(fds[1]);
  ChildOutcome outcome;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    outcome.output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
    outcome.status = WEXITSTATUS(wstatus);
  }
  return outcome;
}

}  // namespace dorq_test

#endif  // DORQ_TESTS_APP_AUTH_SUPPORT_H
