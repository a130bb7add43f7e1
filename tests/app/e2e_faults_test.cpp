// System faults as the real set-user-ID binary meets them: the driver's own
// allocations refused by an address-space limit, a fork refused by a pids
// cgroup, a full file system under the trace file and the child pid file, and
// standard output or standard error closed or a pipe nobody reads any more.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

constexpr rlim_t kMiB = 1024 * 1024;
constexpr rlim_t kKiB = 1024;

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The system call `pid` is blocked in, as /proc shows it: "0 0x0 ..." is a
// read from descriptor 0, "1 0x1 ..." a write to descriptor 1.
bool blockedIn(pid_t pid, const std::string& callAndFirstArgument) {
  return fileText("/proc/" + std::to_string(pid) + "/syscall")
             .rfind(callAndFirstArgument + " ", 0) == 0;
}

// The size of the address space of `pid` in bytes; 0 when unknown.
rlim_t addressSpaceOf(pid_t pid) {
  std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) {
      return std::stoull(line.substr(7)) * kKiB;
    }
  }
  return 0;
}

void expectFailedIntake(const ProcessResult& r, int code, const std::string& what) {
  EXPECT_TRUE(r.exitedWith(code)) << what << ": " << describe(r);
  EXPECT_EQ(printable(r.out), "") << what << ": no status word";
  // The sanitized build's leak check runs at exit and would write its report
  // here and change the exit status.
  EXPECT_EQ(r.err, statusFrame(code)) << what;
}

// --- The driver's own allocations ------------------------------------------

// A request whose argument vector takes 32 MB, and ten of its argument lines.
constexpr int kHugeCount = 4000000;
constexpr rlim_t kVectorBytes = (kHugeCount + 2) * sizeof(char*);
constexpr int kLinesGiven = 10;

class DriverMemoryTest : public E2eTest {
 protected:
  // The five fixed lines with the huge count.
  static std::string fixedLines() {
    return std::string(kJobUser.name) + "\n" + kJobUser.password + "\n2\n/bin/true\n" +
           std::to_string(kHugeCount) + "\n";
  }
  static std::string givenArguments() {
    std::string lines;
    for (int i = 0; i < kLinesGiven; ++i) {
      lines += "arg" + std::to_string(i) + "\n";
    }
    return lines;
  }

  // dorq with `input` on a pipe that stays open: its address space once it
  // waits for the next line, that is with every buffer for `input` and the
  // one for the next line allocated.
  rlim_t addressSpaceWaitingAfter(const std::string& input) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << strerror(errno);
      return 0;
    }
    EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ProcessSpec spec = memorySpec("");
    spec.inherited.push_back({0, fds[0]});
    Process p;
    const bool started = p.start(spec);
    close(fds[0]);
    rlim_t size = 0;
    if (started && waitFor([&] { return blockedIn(p.pid(), "0 0x0"); })) {
      size = addressSpaceOf(p.pid());
    }
    close(fds[1]);
    const ProcessResult r = p.wait();
    EXPECT_TRUE(r.exitedWith(3)) << describe(r);
    EXPECT_GT(size, 0U) << "dorq never waited for input";
    return size;
  }

  // The sanitized build keeps freed memory mapped in its quarantine; without
  // one, the request released after the failure gives back the room that
  // the leak check at exit needs (a stack of 2 MB for its thread).
  ProcessSpec memorySpec(const std::string& input) {
    ProcessSpec spec = dorqSpec(input);
    spec.env.push_back("ASAN_OPTIONS=quarantine_size_mb=0");
    return spec;
  }

  ProcessResult runLimited(const std::string& input, rlim_t addressSpace) {
    ProcessSpec spec = memorySpec(input);
    spec.limits.push_back({RLIMIT_AS, addressSpace, addressSpace});
    return runProcess(spec);
  }
};

// The limit is taken from dorq itself, waiting for its first argument line
// with the vector and that line's buffer allocated; the ten lines given then
// end in status 3 (input ended) when they fit.
TEST_F(DriverMemoryTest, RefusedVectorGives2) {
  const rlim_t waiting = addressSpaceWaitingAfter(fixedLines());
  ASSERT_GT(waiting, kVectorBytes);
  const std::string input = fixedLines() + givenArguments();
  // Half the vector does not fit; everything allocated before it does.
  expectFailedIntake(runLimited(input, waiting - kVectorBytes / 2), 2, "vector refused");
  expectFailedIntake(runLimited(input, waiting + 4 * kMiB), 3, "vector fits");
}

TEST_F(DriverMemoryTest, RefusedLineBufferGives2) {
  const rlim_t waiting = addressSpaceWaitingAfter(fixedLines());
  ASSERT_GT(waiting, kVectorBytes);
  const std::string input = fixedLines() + givenArguments();
  // Nine more line buffers of 128 KB each do not fit into 64 KB more; the
  // vector released after the failure leaves room for the leak check.
  expectFailedIntake(runLimited(input, waiting + 64 * kKiB), 2, "line buffer refused");
  expectFailedIntake(runLimited(input, waiting + 4 * kMiB), 3, "line buffers fit");
}

// --- A refused fork -----------------------------------------------------------

// A pids cgroup that admits a single task, made below the pids hierarchy of
// cgroup v2 (with the pids controller enabled for its children where needed)
// or of cgroup v1. Removed when the object goes.
class OneTaskCgroup {
 public:
  OneTaskCgroup() {
    std::string parent;
    if (access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0) {
      parent = "/sys/fs/cgroup";
      if (fileText(parent + "/cgroup.subtree_control").find("pids") == std::string::npos &&
          !writeText(parent + "/cgroup.subtree_control", "+pids")) {
        problem_ = "cannot enable the pids controller: " + std::string(strerror(errno));
        return;
      }
    } else if (access("/sys/fs/cgroup/pids/cgroup.procs", F_OK) == 0) {
      parent = "/sys/fs/cgroup/pids";
    } else {
      problem_ = "no pids controller is mounted";
      return;
    }
    dir_ = parent + "/dorq-fork-" + std::to_string(getpid());
    if (mkdir(dir_.c_str(), 0755) != 0) {
      problem_ = "mkdir " + dir_ + ": " + strerror(errno);
      dir_.clear();
      return;
    }
    if (!writeText(dir_ + "/pids.max", "1")) {
      problem_ = "pids.max: " + std::string(strerror(errno));
    }
  }
  OneTaskCgroup(const OneTaskCgroup&) = delete;
  OneTaskCgroup& operator=(const OneTaskCgroup&) = delete;
  ~OneTaskCgroup() {
    if (!dir_.empty() && rmdir(dir_.c_str()) != 0) {
      ADD_FAILURE() << "cgroup left behind: " << dir_ << ": " << strerror(errno);
    }
  }

  // Empty when the cgroup is ready.
  const std::string& problem() const { return problem_; }
  const std::string& dir() const { return dir_; }
  bool admitAny() const { return writeText(dir_ + "/pids.max", "max"); }

 private:
  static bool writeText(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
  }

  std::string dir_;
  std::string problem_;
};

// A pipe for standard output that already holds one full page: the first
// byte dorq writes there blocks until the test drains it.
struct GatedPipe {
  int readEnd = -1;
  int writeEnd = -1;
  size_t filler = 0;

  bool open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      return false;
    }
    readEnd = fds[0];
    writeEnd = fds[1];
    if (fcntl(writeEnd, F_SETPIPE_SZ, static_cast<int>(sysconf(_SC_PAGESIZE))) <= 0 ||
        fcntl(writeEnd, F_SETFL, O_NONBLOCK) != 0) {
      return false;
    }
    const char byte = 'F';
    while (write(writeEnd, &byte, 1) == 1) {
      ++filler;
    }
    // The program must block on the full pipe, not fail on it.
    return errno == EAGAIN && fcntl(writeEnd, F_SETFL, 0) == 0;
  }
  void closeWriteEnd() {
    close(writeEnd);
    writeEnd = -1;
  }
  // Everything after the filler, up to the end of the pipe.
  std::string drain() const {
    std::string all;
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(readEnd, buf, sizeof buf)) > 0) {
      all.append(buf, static_cast<size_t>(n));
    }
    return all.size() >= filler ? all.substr(filler) : std::string();
  }
  ~GatedPipe() {
    for (const int fd : {readEnd, writeEnd}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
};

// Descriptor through which the program joins the cgroup just before its exec.
constexpr int kCgroupProcsFd = 9;

// dorq joins the cgroup before its exec (through cgroup.procs opened by root,
// so the move is allowed after the switch to the scheduler user); its fork is
// refused. Its first status word blocks on the full pipe while the cgroup is
// opened up again, so that the leak check of the sanitized build, which needs
// a thread of its own, can run at exit.
class SystemFaultTest : public E2eTest {};

TEST_F(SystemFaultTest, RefusedForkGives9) {
  OneTaskCgroup cgroup;
  ASSERT_EQ(cgroup.problem(), "");
  const int procs = open((cgroup.dir() + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(procs, 0) << strerror(errno);
  GatedPipe out;
  ASSERT_TRUE(out.open()) << strerror(errno);

  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  spec.inherited.push_back({1, out.writeEnd});
  spec.inherited.push_back({kCgroupProcsFd, procs});
  spec.beforeExec = [] {
    (void)!::write(kCgroupProcsFd, "0", 1);
    close(kCgroupProcsFd);
  };
  Process p;
  const bool started = p.start(spec);
  close(procs);
  out.closeWriteEnd();
  ASSERT_TRUE(started) << p.startError();
  const bool blocked = waitFor([&] { return blockedIn(p.pid(), "1 0x1"); });
  const std::string membership = fileText("/proc/" + std::to_string(p.pid()) + "/cgroup");
  EXPECT_TRUE(cgroup.admitAny());
  const std::string words = out.drain();
  const ProcessResult r = p.wait();
  EXPECT_TRUE(blocked) << "dorq never wrote a status word";
  EXPECT_NE(membership.find(cgroup.dir().substr(cgroup.dir().rfind('/'))), std::string::npos)
      << membership;
  EXPECT_EQ(printable(words), printable("\x09\x09"));
  EXPECT_TRUE(r.exitedWith(9)) << describe(r);
  EXPECT_EQ(r.err, statusFrame(9));
}

// --- A full file system under the trace file and the child pid file ------------

// A tiny tmpfs with nothing left: no block for data, or no inode for a file.
class FullFileSystem {
 public:
  FullFileSystem(const std::string& dir, const char* options) : dir_(dir) {
    mkdir(dir_.c_str(), 0755);
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    if (!mounted_) {
      return;
    }
    // Take what is left: blocks into files, until a file gets no byte or
    // no file can be made.
    const std::string block(512, 'f');
    for (int i = 0;; ++i) {
      const std::string filler = dir_ + "/filler" + std::to_string(i);
      const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) {
        break;
      }
      size_t taken = 0;
      while (write(fd, block.data(), block.size()) > 0) {
        taken += block.size();
      }
      close(fd);
      if (taken == 0) {
        break;
      }
    }
  }
  FullFileSystem(const FullFileSystem&) = delete;
  FullFileSystem& operator=(const FullFileSystem&) = delete;
  ~FullFileSystem() {
    if (mounted_) {
      umount2(dir_.c_str(), MNT_DETACH);
    }
    rmdir(dir_.c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(SystemFaultTest, FullFileSystemForTraceAndChildPidChangesNothingElse) {
  struct Case {
    const char* what;
    const char* options;
  };
  for (const Case& c : {Case{"no block left", "size=4k,mode=0755"},
                        Case{"no inode left", "size=64k,nr_inodes=2,mode=0755"}}) {
    SCOPED_TRACE(c.what);
    const std::string full = reports_ + "/full";
    FullFileSystem fs(full, c.options);
    ASSERT_TRUE(fs.mounted()) << strerror(errno);
    const std::string report = probeReportPath("full-probe");
    unlink(report.c_str());
    ProbeOptions options;
    options.report = report;
    options.exitCode = 3;
    const ProcessResult r = runDorq(
        jobRequest(2, jobProbePath(), probeArgs(options)),
        {"-trclvl", "0x3A", "-trcfile", full + "/trace", "-childpidfile", full + "/job.pid"});
    EXPECT_TRUE(r.exitedWith(3)) << describe(r);
    EXPECT_EQ(printable(r.out), printable(std::string(1, '\0')));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(readProbeReport(report).has_value()) << "the job did not run";
    EXPECT_EQ(readFile(full + "/dorq_" + std::to_string(r.pid) + ".trc"), "");
    EXPECT_EQ(readFile(full + "/job.pid"), "");
  }
}

// --- Standard output and standard error closed, or read by nobody ------------

// The job exits with 5 after reporting to a file; or its path is no program,
// so the child fails with 10 before the exec.
struct OutputCase {
  const char* what;
  int fd;  // the standard stream that is closed or broken
  int flags;
  bool runs;     // the job runs (exit 5); otherwise the exec fails (exit 10)
  int exitCode;  // what the caller must see
};

// Runs in which dorq writes to the stream that the reader has left.
const OutputCase kBrokenPipeWrites[] = {
    {"status words to a broken stdout", 1, 2, true, 5},
    {"status words after a start failure to a broken stdout", 1, 2, false, 10},
    {"the child's frame to a broken stderr", 2, 0, false, 10},
    {"the child's frame to a broken stderr, flags 3", 2, 3, false, 10},
};

class OutputFaultTest : public E2eTest {
 protected:
  ProcessSpec requestSpec(const OutputCase& c) {
    ProbeOptions options;
    options.report = probeReportPath("output-probe");
    options.readStdin = false;
    options.exitCode = 5;
    const std::vector<std::string> probe = probeArgs(options);
    return dorqSpec(c.runs ? jobRequest(c.flags, jobProbePath(), probe)
                           : jobRequest(c.flags, "/no/such/command"));
  }
};

// The C library of a set-user-ID program puts /dev/null in the place of a
// closed standard stream before dorq starts, opened for reading only, so
// every write there fails and is ignored. A closed standard error is not
// ignored by the child, though: without the flags value 1 it cannot keep an
// append-mode copy of it, and ends with 13 before the command; the job never
// runs, and the frame has nowhere to go.
TEST_F(OutputFaultTest, ClosedStandardStreamsLoseNoExitStatus) {
  const OutputCase closedCases[] = {
      {"status words to a closed stdout", 1, 2, true, 5},
      {"status words after a start failure to a closed stdout", 1, 2, false, 10},
      {"a closed stderr, flags 3", 2, 3, true, 5},
      {"the child's frame to a closed stderr, flags 3", 2, 3, false, 10},
      {"no copy of a closed stderr, flags 2", 2, 2, true, 13},
  };
  for (const OutputCase& c : closedCases) {
    const std::string report = probeReportPath("output-probe");
    unlink(report.c_str());
    ProcessSpec spec = requestSpec(c);
    (c.fd == 1 ? spec.stdoutSink : spec.stderrSink) = OutputSink::Closed;
    const ProcessResult r = runProcess(spec);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << c.what << ": " << describe(r);
    EXPECT_EQ(readProbeReport(report).has_value(), c.exitCode == 5) << c.what;
  }
}

// A pipe whose reader has gone: the scheduler went away.
ProcessResult runWithBrokenPipe(ProcessSpec spec, int fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  close(fds[0]);
  spec.inherited.push_back({fd, fds[1]});
  const ProcessResult r = runProcess(spec);
  close(fds[1]);
  return r;
}

// A broken pipe that dorq never writes to harms nothing: no status words
// without the flags value 2, and no frame after a job that ran.
TEST_F(OutputFaultTest, BrokenPipeNeverWrittenChangesNothing) {
  const OutputCase unwritten[] = {
      {"no status words for a broken stdout", 1, 0, true, 5},
      {"no frame for a broken stderr", 2, 0, true, 5},
  };
  for (const OutputCase& c : unwritten) {
    const ProcessResult r = runWithBrokenPipe(requestSpec(c), c.fd);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << c.what << ": " << describe(r);
  }
}

// A caller that ignores SIGPIPE: every write to the broken pipe fails with
// EPIPE, which dorq does not look at, and the exit status is right.
TEST_F(OutputFaultTest, BrokenPipeWithSigpipeIgnoredKeepsTheExitStatus) {
  for (const OutputCase& c : kBrokenPipeWrites) {
    ProcessSpec spec = requestSpec(c);
    spec.ignoredSignals = {SIGPIPE};
    const ProcessResult r = runWithBrokenPipe(spec, c.fd);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << c.what << ": " << describe(r);
  }
}

// With SIGPIPE at its default action in the caller: dorq ignores the signal
// for itself, so a status word or frame written to a caller that has gone
// fails quietly and the exit status is the job's own or the start failure's
// code. Before dorq ignored it, the first such write ended dorq with signal
// 13 and the job ran on as an orphan; a child that failed to start died of
// SIGPIPE on its frame and was reported as a job ended by a signal.
TEST_F(OutputFaultTest, BrokenPipeWithDefaultSigpipeKeepsTheExitStatus) {
  for (const OutputCase& c : kBrokenPipeWrites) {
    const ProcessResult r = runWithBrokenPipe(requestSpec(c), c.fd);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << c.what << ": " << describe(r);
  }
}

}  // namespace
}  // namespace dorq_test
