// Shared ground of the trace tests: the real standard streams captured into
// files, a private directory for trace files, and the process-wide trace
// state restored after every test.
#ifndef DORQ_TESTS_APP_TRACE_FIXTURE_H
#define DORQ_TESTS_APP_TRACE_FIXTURE_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace trace_test {

// Sends one standard stream (fd 1 or 2) into an unlinked temporary file until
// text() is called, which restores the stream and returns what was written.
class StdCapture {
 public:
  explicit StdCapture(int fd) : fd_(fd) {
    flushAll();
    char name[] = "/tmp/dorq-capture-XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
  }
  StdCapture(const StdCapture&) = delete;
  StdCapture& operator=(const StdCapture&) = delete;
  ~StdCapture() { (void)text(); }

  std::string text() {
    if (saved_ >= 0) {
      flushAll();
      dup2(saved_, fd_);
      close(saved_);
      saved_ = -1;
      std::string all;
      char chunk[4096];
      ssize_t n = 0;
      off_t at = 0;
      while ((n = pread(file_, chunk, sizeof chunk, at)) > 0) {
        all.append(chunk, static_cast<size_t>(n));
        at += n;
      }
      close(file_);
      text_ = all;
    }
    return text_;
  }

 private:
  static void flushAll() {
    fflush(stdout);
    fflush(stderr);
  }
  int fd_;
  int file_ = -1;
  int saved_ = -1;
  std::string text_;
};

// What each sink received during one captured piece of work.
struct Sinks {
  std::string err;
  std::string out;
  std::string file;
};

// One parsed trace line.
struct Line {
  int month, day, hour, minute, second, millisecond;
  long pid;
  std::string unit;
  int line;
  std::string function;
  std::string message;
};

// Splits text into trace lines; false when a line does not have the header.
inline bool parseLines(const std::string& text, std::vector<Line>* lines) {
  static const std::regex header(
      R"(SCHED (\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d\d\d) (\d+) ([^:(]+):(\d+)\(([^)]*)\)(.*))");
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      return false;  // every line ends with a newline
    }
    const std::string one = text.substr(start, end - start);
    std::smatch m;
    if (!std::regex_match(one, m, header)) {
      return false;
    }
    lines->push_back(Line{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                          std::stoi(m[5]), std::stoi(m[6]), std::stol(m[7]), m[8], std::stoi(m[9]),
                          m[10], m[11]});
    start = end + 1;
  }
  return true;
}

// Number of descriptors the process has open.
inline int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

class TraceTest : public ::testing::Test {
 protected:
  // A hang (a trace file open that waits for a reader) fails the test
  // instead of stalling the suite.
  static constexpr unsigned kWatchdogSeconds = 60;

  void SetUp() override {
    dorq_test::resetFaults();
    savedUmask_ = umask(022);
    dorqTraceLevel = 0;
    setTraceFile("");
    tracePath_ = dir_ / "t.trc";
    descriptors_ = openDescriptors();
    alarm(kWatchdogSeconds);
  }
  void TearDown() override {
    alarm(0);
    dorq_test::resetFaults();
    umask(savedUmask_);
    dorqTraceLevel = 0;
    setTraceFile("");
    EXPECT_EQ(openDescriptors(), descriptors_) << "a descriptor leaked";
  }

  static void setTraceFile(const std::string& path) {
    ASSERT_LT(path.size(), sizeof dorqTraceFile);
    memset(dorqTraceFile, 0, sizeof dorqTraceFile);
    memcpy(dorqTraceFile, path.data(), path.size());
    dorqTraceFilel = static_cast<int64_t>(path.size());
  }

  // Runs work with both standard streams captured and collects every sink.
  template <typename Work>
  Sinks capture(Work work) {
    Sinks sinks;
    {
      StdCapture err(2);
      StdCapture out(1);
      work();
      sinks.out = out.text();
      sinks.err = err.text();
    }
    sinks.file = regularFileText(tracePath_);
    return sinks;
  }

  // The text of a regular file (through links); never opens a pipe.
  static std::string regularFileText(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      return "";
    }
    return dorq_test::readFile(path);
  }

  dorq_test::TempDir dir_;
  std::string tracePath_;

 private:
  mode_t savedUmask_ = 0;
  int descriptors_ = 0;
};

}  // namespace trace_test

#endif  // DORQ_TESTS_APP_TRACE_FIXTURE_H
