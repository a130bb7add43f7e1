#include "bench/bench_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

#include "port/unique_handle.h"

namespace dorq_bench {
namespace {

// Exit status of a child that could not become the program.
constexpr int kSetupFailedExit = 127;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr size_t kReadChunk = 4096;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("launch: " + what + ": " + strerror(errno));
}

// The execve arrays of one ProcessSpec; the pointers refer into its strings.
struct ExecArrays {
  std::vector<char*> argv;
  std::vector<char*> env;
};

ExecArrays arraysFor(const LaunchSpec& spec) {
  ExecArrays arrays;
  for (const std::string& word : spec.argv) {
    arrays.argv.push_back(const_cast<char*>(word.c_str()));
  }
  arrays.argv.push_back(nullptr);
  for (const std::string& entry : spec.env) {
    arrays.env.push_back(const_cast<char*>(entry.c_str()));
  }
  arrays.env.push_back(nullptr);
  return arrays;
}

// A pipe whose read end holds the whole request and whose write end is
// already closed, so the program sees the end of input after the request.
UniqueFd requestPipe(const std::string& bytes) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(writeEnd.get(), bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) {
      fail("write the request");
    }
    done += static_cast<size_t>(wrote);
  }
  return readEnd;
}

UniqueFd openDevNull() {
  UniqueFd fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!fd.valid()) {
    fail("open /dev/null");
  }
  return fd;
}

// The child: only system calls from here to the exec.
[[noreturn]] void becomeProgram(const LaunchSpec& spec, const ExecArrays& arrays, int stdinFd,
                                int stdoutFd, int stderrFd) {
  if (dup2(stdinFd, 0) < 0 || dup2(stdoutFd, 1) < 0 || dup2(stderrFd, 2) < 0) {
    _exit(kSetupFailedExit);
  }
  if (spec.caller &&
      (setgroups(0, nullptr) != 0 || setgid(spec.caller->gid) != 0 || setuid(spec.caller->uid))) {
    _exit(kSetupFailedExit);
  }
  execve(spec.binary.c_str(), arrays.argv.data(), arrays.env.data());
  _exit(kSetupFailedExit);
}

pid_t forkProgram(const LaunchSpec& spec, const ExecArrays& arrays, int stdinFd, int stdoutFd,
                  int stderrFd) {
  const pid_t pid = fork();
  if (pid == 0) {
    becomeProgram(spec, arrays, stdinFd, stdoutFd, stderrFd);
  }
  if (pid < 0) {
    fail("fork " + spec.binary);
  }
  return pid;
}

std::string drain(int fd) {
  std::string out;
  char chunk[kReadChunk];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      out.append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return out;
    }
  }
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) {
      fail("waitpid");
    }
  }
  return status;
}

}  // namespace

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

std::string describeStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    return "exited " + std::to_string(WEXITSTATUS(waitStatus));
  }
  if (WIFSIGNALED(waitStatus)) {
    return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
  }
  return "status " + std::to_string(waitStatus);
}

LaunchResult runOnce(const LaunchSpec& spec) {
  const ExecArrays arrays = arraysFor(spec);
  const UniqueFd devNull = openDevNull();
  UniqueFd input = requestPipe(spec.stdinBytes);
  UniqueFd outRead;
  UniqueFd outWrite;
  if (spec.captureStdout) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      fail("pipe");
    }
    outRead.reset(fds[0]);
    outWrite.reset(fds[1]);
  }
  const int stdoutFd = spec.captureStdout ? outWrite.get() : devNull.get();

  LaunchResult result;
  const int64_t begin = nowNs();
  const pid_t pid = forkProgram(spec, arrays, input.get(), stdoutFd, devNull.get());
  input.reset();
  if (spec.captureStdout) {
    outWrite.reset();
    result.out = drain(outRead.get());
  }
  result.waitStatus = reap(pid);
  result.wallNs = nowNs() - begin;
  return result;
}

pid_t startDetached(const LaunchSpec& spec) {
  const ExecArrays arrays = arraysFor(spec);
  const UniqueFd devNull = openDevNull();
  const UniqueFd input = requestPipe(spec.stdinBytes);
  return forkProgram(spec, arrays, input.get(), devNull.get(), devNull.get());
}

int64_t runPool(const LaunchSpec& spec, int total, int width) {
  const int64_t begin = nowNs();
  int started = 0;
  int running = 0;
  while (started < total || running > 0) {
    while (started < total && running < width) {
      (void)startDetached(spec);
      ++started;
      ++running;
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail("waitpid");
    }
    --running;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      errno = 0;
      throw std::runtime_error("launch: " + spec.argv[0] + " in the pool " +
                               describeStatus(status));
    }
  }
  return nowNs() - begin;
}

}  // namespace dorq_bench
