// Helpers for the authentication tests: trace capture in the test process
// and in a forked child, and parsing of the captured trace lines.
#ifndef DORQ_TESTS_APP_AUTH_SUPPORT_H
#define DORQ_TESTS_APP_AUTH_SUPPORT_H

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/dorq_trace.h"

namespace dorq_test {

// Every category, written to standard error.
inline constexpr int32_t kAllTraceToStderr =
    static_cast<int32_t>(kTraceCategories | kTraceSinkStderr);

inline std::string drainFd(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Sends every trace line of this process to a memory file in place of
// standard error until text() is called or the capture ends.
class TraceCapture {
 public:
  TraceCapture() : savedLevel_(dorqTraceLevel) {
    fflush(stderr);
    memfd_ = memfd_create("dorq-trace", MFD_CLOEXEC);
    savedStderr_ = dup(2);
    dup2(memfd_, 2);
    dorqTraceLevel = kAllTraceToStderr;
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  ~TraceCapture() { restore(); }

  // Ends the capture and returns what was written.
  std::string text() {
    restore();
    lseek(memfd_, 0, SEEK_SET);
    std::string captured = drainFd(memfd_);
    return captured;
  }

 private:
  void restore() {
    if (savedStderr_ >= 0) {
      fflush(stderr);
      dup2(savedStderr_, 2);
      close(savedStderr_);
      savedStderr_ = -1;
      dorqTraceLevel = savedLevel_;
    }
  }

  int32_t savedLevel_;
  int memfd_ = -1;
  int savedStderr_ = -1;
};

struct ChildOutcome {
  int status = -1;     // the child's exit status; -1 when it did not exit
  std::string output;  // everything it wrote to standard error
};

// Runs body in a forked child with every trace line on standard error, which
// is a pipe back to the parent; the child ends with body's result. Nothing
// the child mounts or loads reaches the parent.
inline ChildOutcome runInChild(const std::function<int()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return {};
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    dorqTraceLevel = kAllTraceToStderr;
    // A sandbox that cannot be set up throws: the child then ends on a
    // signal after the C++ runtime has printed why (status -1 here).
    const int code = body();
    fflush(nullptr);
    _exit(code);
  }
  close(fds[1]);
  ChildOutcome outcome;
  outcome.output = drainFd(fds[0]);
  close(fds[0]);
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) {
    outcome.status = WEXITSTATUS(wstatus);
  }
  return outcome;
}

struct TraceLine {
  std::string unit;
  std::string function;
  std::string message;
};

// The trace lines in text (other lines are skipped); each must carry the
// full header.
inline std::vector<TraceLine> traceLines(const std::string& text) {
  static const std::regex header(
      R"(^SCHED \d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d \d+ (\w+):\d+\((\w+)\)(.*)$)");
  std::vector<TraceLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::smatch match;
    const std::string line = text.substr(start, end - start);
    if (std::regex_match(line, match, header)) {
      lines.push_back({match[1], match[2], match[3]});
    }
    start = end + 1;
  }
  return lines;
}

// The messages of one function, in order.
inline std::vector<std::string> messagesOf(const std::string& text, const std::string& function) {
  std::vector<std::string> messages;
  for (const TraceLine& line : traceLines(text)) {
    if (line.function == function) {
      messages.push_back(line.message);
    }
  }
  return messages;
}

inline bool contains(const std::vector<std::string>& messages, const std::string& message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

inline size_t countOf(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

}  // namespace dorq_test

#endif  // DORQ_TESTS_APP_AUTH_SUPPORT_H
