#include "tests/harness/run_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

#include "port/unique_fd.h"

namespace dorq_test {
namespace {

using Clock = std::chrono::steady_clock;

// Exit status of a child whose preparation failed (the failure itself goes
// through the set-up pipe).
constexpr int kSetupFailedExit = 127;
// Bytes moved per read of an output pipe and per write of standard input.
constexpr size_t kPumpChunk = 65536;
// After a timeout, how long the killed processes get to close their pipes.
constexpr auto kKillGrace = std::chrono::seconds(5);
constexpr auto kWaitForPoll = std::chrono::milliseconds(5);
// Output shown by describe(), per stream.
constexpr size_t kDescribeBytes = 4000;

// The steps of the child's preparation, in order, named for startError.
enum class Step : int32_t {
  ProcessGroup,
  SignalAction,
  SignalMask,
  Umask,
  Directory,
  Descriptors,
  Limit,
  Groups,
  GroupId,
  UserId,
  Exec,
};
constexpr std::array<std::string_view, 11> kStepNames = {
    "setpgid",   "sigaction", "sigprocmask", "umask",  "chdir", "placing descriptors",
    "setrlimit", "setgroups", "setgid",      "setuid", "execve"};

struct SetupFailure {
  int32_t step;
  int32_t error;
};

// What the caller and the namespace init tell the test, one record per write
// (12 bytes, far below PIPE_BUF, so records never interleave).
enum RecordKind : int32_t { kStarted = 1, kForkFailed = 2, kReaped = 3 };
struct Record {
  int32_t kind;
  int32_t pid;    // kStarted: the program; kReaped: the reaped process
  int32_t value;  // kStarted: the caller's own pid; kReaped: the wait status; else errno
};

struct FdMove {
  int source;
  int target;
};

// Everything the child needs, prepared before the fork so that the child
// makes nothing but system calls.
struct ChildPlan {
  const char* binary = nullptr;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<FdMove> moves;
  std::vector<int> highCopies;  // written by the child only
  std::vector<int> keep;        // the target numbers, ascending
  int base = 3;                 // above every target
  int setupFd = -1;
  bool ownProcessGroup = true;
  std::vector<int> ignored;
  sigset_t mask{};
  std::vector<ResourceLimit> limits;
  bool setUmask = false;
  mode_t umask = 0;
  const char* cwd = nullptr;
  bool setIdentity = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  const std::function<void()>* hook = nullptr;
};

// ---- In the forked processes: system calls only. ----

[[noreturn]] void failStep(int fd, Step step, int error) {
  const SetupFailure failure{static_cast<int32_t>(step), error};
  [[maybe_unused]] const ssize_t n = write(fd, &failure, sizeof failure);
  _exit(kSetupFailedExit);
}

// Closes every descriptor from `first` to `last`, both included.
void closeRange(unsigned first, unsigned last) {
  if (first > last) {
    return;
  }
  if (close_range(first, last, 0) == 0) {
    return;
  }
  // Kernels before 5.9: close one by one up to a bound no test reaches.
  constexpr unsigned kFallbackLimit = 4096;
  for (unsigned fd = first; fd <= last && fd < kFallbackLimit; ++fd) {
    close(static_cast<int>(fd));
  }
}

// Closes every descriptor below `upTo` (nothing when it is 0).
void closeBelow(unsigned upTo) {
  if (upTo > 0) {
    closeRange(0, upTo - 1);
  }
}

void closeAllExcept(int keep) {
  closeBelow(static_cast<unsigned>(keep));
  closeRange(static_cast<unsigned>(keep) + 1, ~0U);
}

// Puts every planned descriptor at its number and closes all the others.
// Sources are first copied above every target, so that no placement can
// overwrite a source still to be placed.
void placeDescriptors(ChildPlan& plan) {
  const int setup = fcntl(plan.setupFd, F_DUPFD_CLOEXEC, plan.base);
  if (setup < 0) {
    failStep(plan.setupFd, Step::Descriptors, errno);
  }
  plan.setupFd = setup;
  for (size_t i = 0; i < plan.moves.size(); ++i) {
    plan.highCopies[i] = fcntl(plan.moves[i].source, F_DUPFD_CLOEXEC, plan.base);
    if (plan.highCopies[i] < 0) {
      failStep(setup, Step::Descriptors, errno);
    }
  }
  for (size_t i = 0; i < plan.moves.size(); ++i) {
    // dup2 leaves the new descriptor without close-on-exec.
    if (dup2(plan.highCopies[i], plan.moves[i].target) < 0) {
      failStep(setup, Step::Descriptors, errno);
    }
  }
  unsigned next = 0;
  for (const int target : plan.keep) {
    if (static_cast<unsigned>(target) > next) {
      closeRange(next, static_cast<unsigned>(target) - 1);
    }
    next = static_cast<unsigned>(target) + 1;
  }
  // The set-up pipe is above every target; it closes itself at the exec.
  closeRange(next, static_cast<unsigned>(setup) - 1);
  closeRange(static_cast<unsigned>(setup) + 1, ~0U);
}

[[noreturn]] void execChild(ChildPlan& plan) {
  const int fd = plan.setupFd;
  if (plan.ownProcessGroup && setpgid(0, 0) != 0) {
    failStep(fd, Step::ProcessGroup, errno);
  }
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    // The C library refuses its own internal signals; those stay as they are.
    if (sig != SIGKILL && sig != SIGSTOP) {
      sigaction(sig, &action, nullptr);
    }
  }
  action.sa_handler = SIG_IGN;
  for (const int sig : plan.ignored) {
    if (sigaction(sig, &action, nullptr) != 0) {
      failStep(fd, Step::SignalAction, errno);
    }
  }
  if (sigprocmask(SIG_SETMASK, &plan.mask, nullptr) != 0) {
    failStep(fd, Step::SignalMask, errno);
  }
  if (plan.setUmask) {
    umask(plan.umask);
  }
  if (plan.cwd != nullptr && chdir(plan.cwd) != 0) {
    failStep(fd, Step::Directory, errno);
  }
  placeDescriptors(plan);
  const int setup = plan.setupFd;
  // After the descriptors, which need numbers above every target while they
  // are placed (a descriptor limit of 4 must still work), and before the
  // identity switch, which would forbid raising a hard limit.
  for (const ResourceLimit& limit : plan.limits) {
    const rlimit value{limit.soft, limit.hard};
    if (setrlimit(limit.resource, &value) != 0) {
      failStep(setup, Step::Limit, errno);
    }
  }
  if (plan.setIdentity) {
    if (setgroups(plan.groups.size(), plan.groups.data()) != 0) {
      failStep(setup, Step::Groups, errno);
    }
    if (setgid(plan.gid) != 0) {
      failStep(setup, Step::GroupId, errno);
    }
    if (setuid(plan.uid) != 0) {
      failStep(setup, Step::UserId, errno);
    }
  }
  if (plan.hook != nullptr && *plan.hook) {
    (*plan.hook)();
  }
  execve(plan.binary, plan.argv.data(), plan.envp.data());
  failStep(setup, Step::Exec, errno);
}

void sendRecord(int fd, RecordKind kind, pid_t pid, int value) {
  const Record record{kind, pid, value};
  [[maybe_unused]] const ssize_t n = write(fd, &record, sizeof record);
}

// The caller and the namespace init start with a clean signal state, so that
// their children are reaped as the test expects.
void resetKeeperSignals() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The stand-in for the scheduler: starts the program, reports its pid, and
// waits for it like any parent, unless it is killed first.
[[noreturn]] void callerMain(ChildPlan& plan, int reportFd) {
  resetKeeperSignals();
  const pid_t program = fork();
  if (program == 0) {
    execChild(plan);
  }
  if (program < 0) {
    sendRecord(reportFd, kForkFailed, getpid(), errno);
    _exit(1);
  }
  sendRecord(reportFd, kStarted, program, getpid());
  closeAllExcept(reportFd);
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(program, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == program) {
    sendRecord(reportFd, kReaped, program, status);
  }
  _exit(0);
}

// Pid 1 of a fresh PID namespace: starts the caller, then reaps every
// process of the namespace, reporting each, until none is left.
[[noreturn]] void namespaceInitMain(ChildPlan& plan, int reportFd) {
  resetKeeperSignals();
  const pid_t caller = fork();
  if (caller == 0) {
    callerMain(plan, reportFd);
  }
  if (caller < 0) {
    sendRecord(reportFd, kForkFailed, getpid(), errno);
    _exit(1);
  }
  closeAllExcept(reportFd);
  while (true) {
    int status = 0;
    const pid_t reaped = waitpid(-1, &status, 0);
    if (reaped > 0) {
      sendRecord(reportFd, kReaped, reaped, status);
    } else if (errno != EINTR) {
      _exit(0);
    }
  }
}

// ---- In the test process. ----

int pidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool pidfdSignal(int pidfd, int sig) {
  return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
}

int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits until `fd` is readable (true) or the deadline passes (false).
bool pollReadable(int fd, Clock::time_point deadline) {
  while (true) {
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, msUntil(deadline));
    if (n > 0) {
      return true;
    }
    if (n == 0) {
      return false;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

pid_t waitChild(pid_t pid, int* status) {
  pid_t reaped = -1;
  do {
    reaped = waitpid(pid, status, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped;
}

struct PipePair {
  UniqueFd read;
  UniqueFd write;
};

bool makePipe(PipePair* pair) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  pair->read.reset(fds[0]);
  pair->write.reset(fds[1]);
  return true;
}

std::string errnoText(std::string_view what, int error) {
  return std::string(what) + ": " + strerror(error);
}

// Writes standard input and reads standard output and error on its own
// thread, so that no pipe can fill up while the test waits elsewhere.
class Pump {
 public:
  Pump() = default;
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;
  ~Pump() { stop(); }

  bool start(UniqueFd in, std::string bytes, UniqueFd out, UniqueFd err) {
    PipePair wake;
    if (!makePipe(&wake)) {
      return false;
    }
    wakeRead_ = std::move(wake.read);
    wakeWrite_ = std::move(wake.write);
    in_ = std::move(in);
    bytes_ = std::move(bytes);
    out_ = std::move(out);
    err_ = std::move(err);
    if (in_.valid()) {
      fcntl(in_.get(), F_SETFL, fcntl(in_.get(), F_GETFL) | O_NONBLOCK);
    }
    outputsDone_ = !out_.valid() && !err_.valid();
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // Until both outputs reached their end (true) or the deadline (false).
  bool waitOutputs(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_until(lock, deadline, [this] { return outputsDone_; });
  }

  void stop() {
    if (thread_.joinable()) {
      const char wake = 'w';
      [[maybe_unused]] const ssize_t n = write(wakeWrite_.get(), &wake, 1);
      thread_.join();
    }
  }

  std::string out() const {
    std::lock_guard<std::mutex> lock(mu_);
    return outText_;
  }
  std::string err() const {
    std::lock_guard<std::mutex> lock(mu_);
    return errText_;
  }

 private:
  void run() {
    // A program that closes its standard input early must not kill the test
    // through SIGPIPE: blocked here, the write fails with EPIPE instead, and
    // the signal stays pending on this thread alone until it ends.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::string chunk(kPumpChunk, '\0');
    while (in_.valid() || out_.valid() || err_.valid()) {
      std::array<pollfd, 4> fds{};
      fds[0] = {wakeRead_.get(), POLLIN, 0};
      fds[1] = {in_.get(), POLLOUT, 0};
      fds[2] = {out_.get(), POLLIN, 0};
      fds[3] = {err_.get(), POLLIN, 0};
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      if (fds[0].revents != 0) {
        break;
      }
      if (fds[1].revents != 0) {
        feedInput();
      }
      if (fds[2].revents != 0) {
        drain(&out_, &outText_, chunk);
      }
      if (fds[3].revents != 0) {
        drain(&err_, &errText_, chunk);
      }
    }
    in_.reset();
    std::lock_guard<std::mutex> lock(mu_);
    outputsDone_ = true;
    cv_.notify_all();
  }

  void feedInput() {
    const ssize_t n =
        write(in_.get(), bytes_.data() + written_, std::min(bytes_.size() - written_, kPumpChunk));
    if (n > 0) {
      written_ += static_cast<size_t>(n);
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || written_ == bytes_.size()) {
      in_.reset();
    }
  }

  void drain(UniqueFd* fd, std::string* text, std::string& chunk) {
    const ssize_t n = read(fd->get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (n > 0) {
      text->append(chunk.data(), static_cast<size_t>(n));
      return;
    }
    fd->reset();
    if (!out_.valid() && !err_.valid()) {
      outputsDone_ = true;
      cv_.notify_all();
    }
  }

  UniqueFd in_;
  UniqueFd out_;
  UniqueFd err_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::string bytes_;
  size_t written_ = 0;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::string outText_;
  std::string errText_;
  bool outputsDone_ = false;
  std::thread thread_;
};

}  // namespace

struct Process::State {
  ProcessSpec spec;
  ChildPlan plan;
  std::string startError;
  bool started = false;
  bool waited = false;
  ProcessResult result;

  Clock::time_point startTime;
  Clock::time_point deadline;
  Clock::time_point endTime;
  bool timedOut = false;

  pid_t keeper = -1;  // the test's own child: program, caller or namespace init
  bool keeperReaped = false;
  UniqueFd keeperPidfd;
  pid_t program = -1;
  pid_t programNs = -1;
  bool programGone = false;
  UniqueFd programPidfd;
  pid_t caller = -1;
  pid_t callerNs = -1;
  bool callerGone = false;

  UniqueFd report;  // records from the caller and the namespace init
  bool reportClosed = true;
  std::string recordBytes;
  bool haveStatus = false;
  int status = 0;
  std::vector<ReapedProcess> reaped;

  std::vector<std::string> pipeTargets;  // "pipe:[n]" of the three standard pipes
  Pump pump;

  bool prepare(PipePair* in, PipePair* out, PipePair* err, PipePair* setup, UniqueFd* nullRead,
               UniqueFd* nullWrite);
  bool startDirect(PipePair& setup);
  bool startWithCaller(PipePair& setup, PipePair& records);
  bool readSetupResult(UniqueFd& setupRead);
  void handleRecord(const Record& record);
  bool readRecords(Clock::time_point until);
  void noteProgramEnd();
  void reapKeeper();
  void killEverything();
  void waitDirect();
  void waitWithCaller();
  void finishOutput();
  ProcessResult collect();
};

namespace {

bool openDevNull(UniqueFd* fd, int flags, std::string* error) {
  if (!fd->valid()) {
    fd->reset(open("/dev/null", flags | O_CLOEXEC));
    if (!fd->valid()) {
      *error = errnoText("open /dev/null", errno);
      return false;
    }
  }
  return true;
}

}  // namespace

// Opens the pipes and builds the child's plan.
bool Process::State::prepare(PipePair* in, PipePair* out, PipePair* err, PipePair* setup,
                             UniqueFd* nullRead, UniqueFd* nullWrite) {
  plan.binary = spec.binary.c_str();
  for (std::string& arg : spec.argv) {
    plan.argv.push_back(arg.data());
  }
  plan.argv.push_back(nullptr);
  for (std::string& entry : spec.env) {
    plan.envp.push_back(entry.data());
  }
  plan.envp.push_back(nullptr);

  if (!makePipe(setup)) {
    startError = errnoText("pipe", errno);
    return false;
  }
  auto placeStd = [&](int number, bool capture, bool null, PipePair* pair, UniqueFd* nullFd,
                      int nullFlags, bool childReads) {
    if (capture) {
      if (!makePipe(pair)) {
        startError = errnoText("pipe", errno);
        return false;
      }
      pipeTargets.push_back(fdTarget(pair->read.get()));
      plan.moves.push_back({childReads ? pair->read.get() : pair->write.get(), number});
    } else if (null) {
      if (!openDevNull(nullFd, nullFlags, &startError)) {
        return false;
      }
      plan.moves.push_back({nullFd->get(), number});
    }
    return true;
  };
  if (!placeStd(0, spec.stdinSource == StdinSource::Bytes, spec.stdinSource == StdinSource::DevNull,
                in, nullRead, O_RDONLY, true) ||
      !placeStd(1, spec.stdoutSink == OutputSink::Capture, spec.stdoutSink == OutputSink::DevNull,
                out, nullWrite, O_WRONLY, false) ||
      !placeStd(2, spec.stderrSink == OutputSink::Capture, spec.stderrSink == OutputSink::DevNull,
                err, nullWrite, O_WRONLY, false)) {
    return false;
  }

  std::vector<int> inheritedNumbers;
  for (const InheritedFd& extra : spec.inherited) {
    if (extra.number < 0 || extra.source < 0) {
      startError = "inherited descriptor with a negative number";
      return false;
    }
    if (std::find(inheritedNumbers.begin(), inheritedNumbers.end(), extra.number) !=
        inheritedNumbers.end()) {
      startError = "two inherited descriptors at number " + std::to_string(extra.number);
      return false;
    }
    inheritedNumbers.push_back(extra.number);
    // An inherited descriptor replaces a standard stream at the same number.
    std::erase_if(plan.moves, [&](const FdMove& m) { return m.target == extra.number; });
    plan.moves.push_back({extra.source, extra.number});
  }
  for (const FdMove& move : plan.moves) {
    plan.keep.push_back(move.target);
  }
  std::sort(plan.keep.begin(), plan.keep.end());
  plan.base = std::max(2, plan.keep.empty() ? 2 : plan.keep.back()) + 1;
  plan.highCopies.assign(plan.moves.size(), -1);
  plan.setupFd = setup->write.get();

  plan.ownProcessGroup = spec.ownProcessGroup;
  plan.ignored = spec.ignoredSignals;
  sigemptyset(&plan.mask);
  for (const int sig : spec.blockedSignals) {
    if (sigaddset(&plan.mask, sig) != 0) {
      startError = "cannot block signal " + std::to_string(sig);
      return false;
    }
  }
  plan.limits = spec.limits;
  plan.setUmask = spec.umask.has_value();
  plan.umask = spec.umask.value_or(0);
  plan.cwd = spec.cwd.empty() ? nullptr : spec.cwd.c_str();
  if (spec.identity) {
    plan.setIdentity = true;
    plan.uid = spec.identity->uid;
    plan.gid = spec.identity->gid;
    plan.groups = spec.identity->groups;
  }
  plan.hook = &spec.beforeExec;
  return true;
}

// Reads the set-up pipe until the exec closes it (true) or a failure arrives.
bool Process::State::readSetupResult(UniqueFd& setupRead) {
  SetupFailure failure{};
  size_t got = 0;
  while (got < sizeof failure) {
    if (!pollReadable(setupRead.get(), deadline)) {
      startError = "the program did not reach its exec before the timeout";
      return false;
    }
    const ssize_t n =
        read(setupRead.get(), reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0 && got == 0) {
      return true;
    }
    if (n <= 0) {
      startError = "the set-up report of the child was cut short";
      return false;
    }
    got += static_cast<size_t>(n);
  }
  const auto step = static_cast<size_t>(failure.step);
  startError = errnoText(step < kStepNames.size() ? kStepNames[step] : "set-up", failure.error);
  return false;
}

bool Process::State::startDirect(PipePair& setup) {
  const pid_t pid = fork();
  if (pid == 0) {
    execChild(plan);
  }
  if (pid < 0) {
    startError = errnoText("fork", errno);
    return false;
  }
  keeper = program = programNs = pid;
  setup.write.reset();
  // The program cannot be reaped before the test waits, so its pid is safe to open.
  keeperPidfd.reset(pidfdOpen(pid));
  if (!readSetupResult(setup.read)) {
    return false;
  }
  if (!keeperPidfd.valid()) {
    startError = errnoText("pidfd_open", errno);
    return false;
  }
  return true;
}

namespace {

// fork() with the child as pid 1 of a new PID namespace; the test's own later
// children stay in its namespace. Only the calling thread is switched, and
// only until the fork is done.
pid_t forkIntoNewPidNamespace(std::string* error) {
  UniqueFd own(open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
  if (!own.valid()) {
    *error = errnoText("open /proc/self/ns/pid", errno);
    return -1;
  }
  if (unshare(CLONE_NEWPID) != 0) {
    *error = errnoText("unshare(CLONE_NEWPID)", errno);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    return 0;
  }
  const int forkError = errno;
  if (setns(own.get(), CLONE_NEWPID) != 0) {
    // Later forks would land in a namespace that dies with this test's init.
    *error = errnoText("setns back to the test's PID namespace", errno);
    abort();
  }
  if (pid < 0) {
    *error = errnoText("fork", forkError);
  }
  return pid;
}

}  // namespace

bool Process::State::startWithCaller(PipePair& setup, PipePair& records) {
  const bool inNamespace = spec.parent == ParentKind::CallerInPidNamespace;
  pid_t pid = -1;
  if (inNamespace) {
    pid = forkIntoNewPidNamespace(&startError);
  } else {
    pid = fork();
    if (pid < 0) {
      startError = errnoText("fork", errno);
    }
  }
  if (pid == 0) {
    const int reportFd = records.write.get();
    if (inNamespace) {
      namespaceInitMain(plan, reportFd);
    }
    callerMain(plan, reportFd);
  }
  if (pid < 0) {
    return false;
  }
  keeper = pid;
  keeperPidfd.reset(pidfdOpen(pid));
  setup.write.reset();
  records.write.reset();
  report = std::move(records.read);
  reportClosed = false;

  // The caller's first record names the program.
  Record first{};
  size_t got = 0;
  while (got < sizeof first) {
    if (!pollReadable(report.get(), deadline)) {
      startError = "no word from the caller before the timeout";
      return false;
    }
    const ssize_t n = read(report.get(), reinterpret_cast<char*>(&first) + got, sizeof first - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      startError = "the caller ended without starting the program";
      return false;
    }
    got += static_cast<size_t>(n);
  }
  if (first.kind != kStarted) {
    startError = errnoText("fork in the caller", first.value);
    return false;
  }
  programNs = first.pid;
  callerNs = first.value;
  program = inNamespace ? hostPidInNamespace(keeper, programNs) : programNs;
  caller = inNamespace ? hostPidInNamespace(keeper, callerNs) : keeper;
  if (program > 0) {
    // When the program has already ended and been reaped, this fails and
    // the caller's record tells its status.
    programPidfd.reset(pidfdOpen(program));
  }
  programGone = !programPidfd.valid();
  if (!readSetupResult(setup.read)) {
    return false;
  }
  if (!keeperPidfd.valid()) {
    startError = errnoText("pidfd_open", errno);
    return false;
  }
  return true;
}

void Process::State::handleRecord(const Record& record) {
  if (record.kind != kReaped) {
    return;
  }
  if (spec.parent == ParentKind::CallerInPidNamespace) {
    reaped.push_back({record.pid, record.value});
  }
  if (record.pid == programNs && !haveStatus) {
    haveStatus = true;
    status = record.value;
    noteProgramEnd();
  }
  if (record.pid == callerNs) {
    callerGone = true;
  }
}

// Reads whatever records arrive before `until`; false when the deadline
// passed with the pipe still open.
bool Process::State::readRecords(Clock::time_point until) {
  if (reportClosed) {
    return true;
  }
  if (!pollReadable(report.get(), until)) {
    return false;
  }
  std::array<char, sizeof(Record) * 16> buffer{};
  const ssize_t n = read(report.get(), buffer.data(), buffer.size());
  if (n < 0 && errno == EINTR) {
    return true;
  }
  if (n <= 0) {
    reportClosed = true;
    report.reset();
    return true;
  }
  recordBytes.append(buffer.data(), static_cast<size_t>(n));
  while (recordBytes.size() >= sizeof(Record)) {
    Record record{};
    memcpy(&record, recordBytes.data(), sizeof record);
    recordBytes.erase(0, sizeof record);
    handleRecord(record);
  }
  return true;
}

void Process::State::noteProgramEnd() {
  if (endTime == Clock::time_point()) {
    endTime = Clock::now();
  }
  programGone = true;
}

void Process::State::reapKeeper() {
  if (keeper > 0 && !keeperReaped) {
    int keeperStatus = 0;
    if (waitChild(keeper, &keeperStatus) == keeper && keeper == program) {
      haveStatus = true;
      status = keeperStatus;
    }
    keeperReaped = true;
    if (keeper == caller) {
      callerGone = true;
    }
  }
}

// SIGKILL to everything the run may have left: the test's own child (in a
// PID namespace this ends the whole namespace), the program and its group,
// and every process still holding one of the standard pipes.
void Process::State::killEverything() {
  if (keeper > 0 && !keeperReaped) {
    kill(keeper, SIGKILL);
  }
  if (!programGone && program > 0) {
    if (programPidfd.valid()) {
      pidfdSignal(programPidfd.get(), SIGKILL);
    }
    if (spec.ownProcessGroup) {
      kill(-program, SIGKILL);
    }
  }
  for (const std::string& target : pipeTargets) {
    for (const pid_t holder : processesHolding(target)) {
      kill(holder, SIGKILL);
    }
  }
}

void Process::State::waitDirect() {
  if (!pollReadable(keeperPidfd.get(), deadline)) {
    timedOut = true;
    killEverything();
  }
  noteProgramEnd();
  reapKeeper();
}

void Process::State::waitWithCaller() {
  // Until the program's status is known, or it has ended with no one left
  // who could report its status.
  while (!haveStatus && !(programGone && keeperReaped && reportClosed)) {
    std::array<pollfd, 3> fds{};
    fds[0] = {reportClosed ? -1 : report.get(), POLLIN, 0};
    fds[1] = {programGone ? -1 : programPidfd.get(), POLLIN, 0};
    fds[2] = {keeperReaped ? -1 : keeperPidfd.get(), POLLIN, 0};
    const int n = poll(fds.data(), fds.size(), msUntil(deadline));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      timedOut = true;
      killEverything();
      break;
    }
    if (fds[1].revents != 0) {
      noteProgramEnd();
    }
    if (fds[0].revents != 0) {
      readRecords(Clock::now());
    }
    // Records a dead keeper left in the pipe stay readable after it is reaped.
    if (fds[2].revents != 0) {
      reapKeeper();
    }
  }
  // The caller ends right after its report; the namespace init once every
  // process of the namespace has ended.
  if (!timedOut && !keeperReaped && !pollReadable(keeperPidfd.get(), deadline)) {
    timedOut = true;
    killEverything();
  }
  reapKeeper();
  noteProgramEnd();
  const Clock::time_point drainUntil = Clock::now() + kKillGrace;
  while (!reportClosed && readRecords(drainUntil)) {
  }
}

void Process::State::finishOutput() {
  if (!pump.waitOutputs(deadline)) {
    timedOut = true;
    killEverything();
    pump.waitOutputs(Clock::now() + kKillGrace);
  }
  pump.stop();
}

ProcessResult Process::State::collect() {
  ProcessResult r;
  r.pid = program;
  r.timedOut = timedOut;
  r.statusKnown = haveStatus;
  if (haveStatus && WIFEXITED(status)) {
    r.exited = true;
    r.exitCode = WEXITSTATUS(status);
  } else if (haveStatus && WIFSIGNALED(status)) {
    r.signaled = true;
    r.termSignal = WTERMSIG(status);
  }
  r.out = pump.out();
  r.err = pump.err();
  r.wallTime = endTime - startTime;
  r.reaped = reaped;
  return r;
}

Process::Process() : state_(std::make_unique<State>()) {}

Process::~Process() {
  if (state_->started && !state_->waited) {
    state_->deadline = Clock::now();
    wait();
  }
}

bool Process::start(const ProcessSpec& spec) {
  State& s = *state_;
  if (s.started || !s.startError.empty()) {
    s.startError = "a Process starts once";
    return false;
  }
  s.spec = spec;
  s.startTime = Clock::now();
  s.deadline = s.startTime + spec.timeout;
  PipePair in;
  PipePair out;
  PipePair err;
  PipePair setup;
  PipePair records;
  // /dev/null for the streams that want it, held only until the fork.
  UniqueFd nullRead;
  UniqueFd nullWrite;
  if (!s.prepare(&in, &out, &err, &setup, &nullRead, &nullWrite)) {
    return false;
  }
  if (spec.parent != ParentKind::Harness && !makePipe(&records)) {
    s.startError = errnoText("pipe", errno);
    return false;
  }
  const bool forked =
      spec.parent == ParentKind::Harness ? s.startDirect(setup) : s.startWithCaller(setup, records);
  // The child's ends belong to the child now.
  in.read.reset();
  out.write.reset();
  err.write.reset();
  nullRead.reset();
  nullWrite.reset();
  if (!forked) {
    if (s.keeper > 0) {
      s.killEverything();
      s.reapKeeper();
    }
    if (s.startError.empty()) {
      s.startError = "the program could not be started";
    }
    return false;
  }
  UniqueFd stdinWrite = std::move(in.write);
  if (spec.stdinBytes.empty()) {
    stdinWrite.reset();
  }
  if (!s.pump.start(std::move(stdinWrite), spec.stdinBytes, std::move(out.read),
                    std::move(err.read))) {
    s.startError = errnoText("pipe", errno);
    s.killEverything();
    s.reapKeeper();
    return false;
  }
  s.started = true;
  return true;
}

const std::string& Process::startError() const {
  return state_->startError;
}

pid_t Process::pid() const {
  return state_->program;
}

pid_t Process::nsPid() const {
  return state_->programNs;
}

pid_t Process::callerPid() const {
  return state_->caller;
}

bool Process::signal(int sig) {
  State& s = *state_;
  if (s.programPidfd.valid()) {
    return pidfdSignal(s.programPidfd.get(), sig);
  }
  if (s.keeper == s.program && s.keeperPidfd.valid()) {
    return pidfdSignal(s.keeperPidfd.get(), sig);
  }
  return false;
}

bool Process::signalGroup(int sig) {
  return state_->program > 0 && kill(-state_->program, sig) == 0;
}

bool Process::killCaller(int sig) {
  State& s = *state_;
  if (!s.started || s.caller <= 0 || s.callerGone) {
    return false;
  }
  if (kill(s.caller, sig) != 0) {
    return false;
  }
  if (s.spec.parent == ParentKind::Caller) {
    // Its last records (if any) stay in the pipe for wait().
    int ignored = 0;
    waitChild(s.caller, &ignored);
    s.keeperReaped = true;
    s.callerGone = true;
    return true;
  }
  // In a namespace, the init reaps the caller and says so.
  while (!s.callerGone && !s.reportClosed) {
    if (!s.readRecords(s.deadline)) {
      return false;
    }
  }
  return s.callerGone;
}

std::string Process::outSoFar() const {
  return state_->pump.out();
}

std::string Process::errSoFar() const {
  return state_->pump.err();
}

ProcessResult Process::wait() {
  State& s = *state_;
  if (s.waited) {
    return s.result;
  }
  s.waited = true;
  if (!s.started) {
    s.result.startError = s.startError.empty() ? "not started" : s.startError;
    return s.result;
  }
  if (s.spec.parent == ParentKind::Harness) {
    s.waitDirect();
  } else {
    s.waitWithCaller();
  }
  s.finishOutput();
  s.result = s.collect();
  return s.result;
}

std::optional<int> ProcessResult::reapedStatus(pid_t nsPid) const {
  for (const ReapedProcess& entry : reaped) {
    if (entry.nsPid == nsPid) {
      return entry.status;
    }
  }
  return std::nullopt;
}

ProcessSpec specFor(const std::string& binary, const std::vector<std::string>& args) {
  ProcessSpec spec;
  spec.binary = binary;
  spec.argv.push_back(binary);
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  return spec;
}

ProcessResult runProcess(const ProcessSpec& spec) {
  Process process;
  if (!process.start(spec)) {
    ProcessResult result;
    result.startError = process.startError();
    return result;
  }
  return process.wait();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kWaitForPoll);
  }
  return true;
}

std::string describe(const ProcessResult& result) {
  if (!result.started()) {
    return "not started: " + result.startError;
  }
  std::string text;
  if (!result.statusKnown) {
    text = "ended, status unknown (reaped by init)";
  } else if (result.exited) {
    text = "exited " + std::to_string(result.exitCode);
  } else if (result.signaled) {
    text = "killed by signal " + std::to_string(result.termSignal);
  } else {
    text = "ended in an unexpected way";
  }
  if (result.timedOut) {
    text += " (timed out)";
  }
  text += " after " +
          std::to_string(
              std::chrono::duration_cast<std::chrono::milliseconds>(result.wallTime).count()) +
          " ms";
  const auto shown = [](const std::string& bytes) {
    std::string shownText = printable(std::string_view(bytes).substr(0, kDescribeBytes));
    if (bytes.size() > kDescribeBytes) {
      shownText += "...(" + std::to_string(bytes.size()) + " bytes)";
    }
    return shownText;
  };
  text += "\nstdout: \"" + shown(result.out) + "\"\nstderr: \"" + shown(result.err) + "\"";
  return text;
}

}  // namespace dorq_test
