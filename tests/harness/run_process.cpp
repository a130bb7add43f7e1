#include "tests/harness/run_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>

#include "port/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using Clock = std::chrono::steady_clock;

// The steps of the child's preparation, named for startError.
constexpr const char* kSteps[] = {"setpgid",   "sigaction", "sigprocmask", "chdir",  "descriptors",
                                  "setrlimit", "setgroups", "setgid",      "setuid", "execve"};
enum Step { kPgid, kSigaction, kMask, kChdir, kFds, kLimit, kGroups, kGid, kUid, kExec };

// Records from the caller and the namespace init; small enough to never interleave.
enum RecordKind : int { kStarted = 1, kReaped = 2 };
struct Record {
  int kind;
  pid_t pid;  // kStarted: the program; kReaped: the reaped process
  int value;  // kStarted: the caller; kReaped: the wait status
};

// Everything the child needs, so that it makes nothing but system calls.
struct Plan {
  const ProcessSpec* spec = nullptr;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<InheritedFd> fds;  // source placed at number
  std::vector<int> high;         // scratch for the child
  int base = 3;                  // above every number
  int setup = -1;                // close-on-exec pipe for a failed step
  sigset_t mask{};
};

[[noreturn]] void failStep(int fd, Step step) {
  const int report[2] = {step, errno};
  [[maybe_unused]] const ssize_t n = write(fd, report, sizeof report);
  _exit(127);
}

void closeAllBut(int a, int b) {
  for (int fd = 0; fd < 1024; ++fd) {
    if (fd != a && fd != b) {
      close(fd);
    }
  }
  close_range(1024, ~0U, 0);
}

[[noreturn]] void execChild(Plan& p) {
  const ProcessSpec& s = *p.spec;
  int setup = p.setup;
  const auto check = [&setup](bool ok, Step step) {
    if (!ok) {
      failStep(setup, step);
    }
  };
  check(setpgid(0, 0) == 0, kPgid);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    action.sa_handler = SIG_DFL;
    sigaction(sig, &action, nullptr);  // fails for SIGKILL, SIGSTOP and the C library's own
  }
  action.sa_handler = SIG_IGN;
  for (const int sig : s.ignoredSignals) {
    check(sigaction(sig, &action, nullptr) == 0, kSigaction);
  }
  check(sigprocmask(SIG_SETMASK, &p.mask, nullptr) == 0, kMask);
  if (s.umask) {
    umask(*s.umask);
  }
  check(s.cwd.empty() || chdir(s.cwd.c_str()) == 0, kChdir);
  // Sources go above every number first, so that no placement overwrites a
  // source still to be placed.
  setup = fcntl(p.setup, F_DUPFD_CLOEXEC, p.base);
  if (setup < 0) {
    failStep(p.setup, kFds);
  }
  for (size_t i = 0; i < p.fds.size(); ++i) {
    p.high[i] = fcntl(p.fds[i].source, F_DUPFD_CLOEXEC, setup + 1);
    check(p.high[i] >= 0, kFds);
  }
  for (size_t i = 0; i < p.fds.size(); ++i) {
    check(dup2(p.high[i], p.fds[i].number) >= 0, kFds);
  }
  for (int fd = 0; fd < setup; ++fd) {
    if (std::none_of(p.fds.begin(), p.fds.end(),
                     [fd](const InheritedFd& f) { return f.number == fd; })) {
      close(fd);
    }
  }
  close_range(static_cast<unsigned>(setup) + 1, ~0U, 0);
  // After the descriptors (which need numbers above every target) and before
  // the identity switch (which would forbid raising a hard limit).
  for (const ResourceLimit& limit : s.limits) {
    const rlimit value{limit.soft, limit.hard};
    check(setrlimit(limit.resource, &value) == 0, kLimit);
  }
  if (s.identity) {
    check(setgroups(s.identity->groups.size(), s.identity->groups.data()) == 0, kGroups);
    check(setgid(s.identity->gid) == 0, kGid);
    check(setuid(s.identity->uid) == 0, kUid);
  }
  if (s.beforeExec) {
    s.beforeExec();
  }
  execve(s.binary.c_str(), p.argv.data(), p.envp.data());
  failStep(setup, kExec);
}

void sendRecord(int fd, RecordKind kind, pid_t pid, int value) {
  const Record record{kind, pid, value};
  [[maybe_unused]] const ssize_t n = write(fd, &record, sizeof record);
}

// Pid 1 of a new PID namespace: starts the caller, which starts the program
// and then lives until the test writes to (or closes) the control pipe. The
// init reaps every process of the namespace, reporting each, until none is left.
[[noreturn]] void namespaceInit(Plan& plan, int report, int control) {
  signal(SIGCHLD, SIG_DFL);
  const pid_t caller = fork();
  if (caller == 0) {
    const pid_t program = fork();
    if (program == 0) {
      execChild(plan);
    }
    closeAllBut(report, control);
    sendRecord(report, kStarted, program, getpid());
    char byte = 0;
    [[maybe_unused]] const ssize_t n = read(control, &byte, 1);
    _exit(0);
  }
  closeAllBut(report, -1);
  while (true) {
    int status = 0;
    const pid_t reaped = waitpid(-1, &status, 0);
    if (reaped > 0) {
      sendRecord(report, kReaped, reaped, status);
    } else if (errno != EINTR) {
      _exit(0);
    }
  }
}

// fork() with the child as pid 1 of a new PID namespace; only this thread is
// switched, and only until the fork is done.
pid_t forkIntoNewPidNamespace() {
  UniqueFd own(open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
  if (!own.valid() || unshare(CLONE_NEWPID) != 0) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid != 0 && setns(own.get(), CLONE_NEWPID) != 0) {
    abort();  // later forks would land in a namespace that dies with this run
  }
  return pid;
}

bool pollReadable(int fd, Clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (n >= 0 || errno != EINTR) {
      return n > 0;
    }
  }
}

bool makePipe(UniqueFd* read, UniqueFd* write) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  read->reset(fds[0]);
  write->reset(fds[1]);
  return true;
}

// Writes standard input and reads both outputs on a thread of its own.
class Pump {
 public:
  ~Pump() { join(); }
  void start(UniqueFd in, std::string bytes, UniqueFd out, UniqueFd err) {
    thread_ = std::thread([this, in = std::move(in), bytes = std::move(bytes), out = std::move(out),
                           err = std::move(err)]() mutable {
      // A program that stops reading makes the write fail with EPIPE; the
      // signal stays pending on this thread alone.
      sigset_t pipeSignal;
      sigemptyset(&pipeSignal);
      sigaddset(&pipeSignal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
      size_t written = 0;
      fcntl(in.get(), F_SETFL, O_NONBLOCK);  // nothing when there is no input
      char chunk[65536];
      while ((out.valid() || err.valid() || in.valid()) && !stop_) {
        pollfd fds[3] = {{in.get(), POLLOUT, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (poll(fds, 3, 100) <= 0) {
          continue;
        }
        if (fds[0].revents != 0) {
          const ssize_t n = write(in.get(), bytes.data() + written,
                                  std::min(bytes.size() - written, sizeof chunk));
          written += n > 0 ? static_cast<size_t>(n) : 0;
          if ((n < 0 && errno != EAGAIN) || written == bytes.size()) {
            in.reset();
          }
        }
        const auto drain = [&chunk](const pollfd& polled, UniqueFd& fd, std::string& text) {
          const ssize_t n = polled.revents != 0 ? read(fd.get(), chunk, sizeof chunk) : -1;
          if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
          } else if (polled.revents != 0 && (n == 0 || errno != EINTR)) {
            fd.reset();
          }
        };
        drain(fds[1], out, out_);
        drain(fds[2], err, err_);
      }
      done_ = true;
    });
  }
  // Until both outputs ended (true) or the deadline passed (false).
  bool finish(Clock::time_point deadline) {
    const bool done = waitFor([this] { return done_.load(); },
                              std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::max(deadline - Clock::now(), Clock::duration(0))));
    if (done) {
      join();
    }
    return done;
  }
  void join() {
    stop_ = !done_;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  std::string out_;
  std::string err_;

 private:
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

struct Process::State {
  ProcessSpec spec;
  Plan plan;
  std::string startError;
  bool started = false;
  bool waited = false;
  ProcessResult result;
  Clock::time_point deadline;
  pid_t keeper = -1;  // the test's child: the program, or the namespace init
  UniqueFd keeperPidfd;
  pid_t program = -1;
  pid_t caller = -1;
  bool callerGone = false;
  UniqueFd report;   // records of the namespace init
  UniqueFd control;  // the caller lives until this is written or closed
  Pump pump;

  // Reads one record; false at the end of the records or at the deadline.
  bool readRecord() {
    Record r{};
    if (!pollReadable(report.get(), deadline) || read(report.get(), &r, sizeof r) != sizeof r) {
      return false;
    }
    if (r.kind == kStarted) {
      program = r.pid;
      caller = r.value;
    } else {
      result.reaped.push_back({r.pid, r.value});
      callerGone = callerGone || r.pid == caller;
    }
    return true;
  }

  void killAll() {
    result.timedOut = true;
    if (spec.parent == ParentKind::Harness) {
      kill(-keeper, SIGKILL);
    }
    kill(keeper, SIGKILL);  // a namespace init takes its namespace with it
  }
};

Process::Process() : state_(std::make_unique<State>()) {}

Process::~Process() {
  if (state_->started && !state_->waited) {
    state_->deadline = Clock::now();
    wait();
  }
}

bool Process::start(const ProcessSpec& spec) {
  State& s = *state_;
  s.spec = spec;
  s.deadline = Clock::now() + spec.timeout;
  Plan& p = s.plan;
  p.spec = &s.spec;
  for (std::string& arg : s.spec.argv) {
    p.argv.push_back(arg.data());
  }
  for (std::string& entry : s.spec.env) {
    p.envp.push_back(entry.data());
  }
  p.argv.push_back(nullptr);
  p.envp.push_back(nullptr);
  sigemptyset(&p.mask);
  for (const int sig : spec.blockedSignals) {
    sigaddset(&p.mask, sig);
  }
  // Standard streams: pipes, /dev/null or nothing (closed); then the
  // inherited descriptors, which may take their place.
  UniqueFd in[2];
  UniqueFd out[2];
  UniqueFd err[2];
  UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd setup[2];
  if (!makePipe(&in[0], &in[1]) || !makePipe(&out[0], &out[1]) || !makePipe(&err[0], &err[1]) ||
      !makePipe(&setup[0], &setup[1]) || !null.valid()) {
    s.startError = std::string("pipe: ") + strerror(errno);
    return false;
  }
  const auto stream = [&](int number, bool pipe, bool devNull, int pipeEnd) {
    if (pipe || devNull) {
      p.fds.push_back({number, pipe ? pipeEnd : null.get()});
    }
  };
  stream(0, spec.stdinSource == StdinSource::Bytes, spec.stdinSource == StdinSource::DevNull,
         in[0].get());
  stream(1, spec.stdoutSink == OutputSink::Capture, spec.stdoutSink == OutputSink::DevNull,
         out[1].get());
  stream(2, spec.stderrSink == OutputSink::Capture, spec.stderrSink == OutputSink::DevNull,
         err[1].get());
  for (const InheritedFd& fd : spec.inherited) {
    std::erase_if(p.fds, [&](const InheritedFd& f) { return f.number == fd.number; });
    p.fds.push_back(fd);
    p.base = std::max(p.base, fd.number + 1);
  }
  p.high.resize(p.fds.size());
  p.setup = setup[1].get();

  UniqueFd report[2];
  UniqueFd control[2];
  if (spec.parent == ParentKind::Harness) {
    s.keeper = s.program = fork();
    if (s.keeper == 0) {
      execChild(p);
    }
  } else if (makePipe(&report[0], &report[1]) && makePipe(&control[0], &control[1])) {
    s.keeper = forkIntoNewPidNamespace();
    if (s.keeper == 0) {
      namespaceInit(p, report[1].get(), control[0].get());
    }
  }
  if (s.keeper < 0) {
    s.startError = std::string("fork: ") + strerror(errno);
    return false;
  }
  s.keeperPidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, s.keeper, 0)));
  s.report = std::move(report[0]);
  s.control = std::move(control[1]);
  for (UniqueFd* childEnd : {&in[0], &out[1], &err[1], &setup[1], &report[1], &control[0], &null}) {
    childEnd->reset();
  }
  s.started = true;
  if (s.report.valid() && (!s.readRecord() || s.program <= 0)) {
    s.startError = "the caller did not start the program";
  }
  int failure[2] = {};
  if (s.startError.empty() && read(setup[0].get(), failure, sizeof failure) > 0) {
    s.startError = std::string(kSteps[failure[0]]) + ": " + strerror(failure[1]);
  }
  if (spec.stdinBytes.empty()) {
    in[1].reset();
  }
  s.pump.start(std::move(in[1]), spec.stdinBytes, std::move(out[0]), std::move(err[0]));
  if (!s.startError.empty()) {
    s.result = wait();
    s.result.startError = s.startError;
    return false;
  }
  return true;
}

const std::string& Process::startError() const {
  return state_->startError;
}

pid_t Process::pid() const {
  return state_->program;
}

bool Process::killCaller() {
  State& s = *state_;
  if (!s.started || !s.control.valid()) {
    return false;
  }
  s.control.reset();
  while (!s.callerGone && s.readRecord()) {
  }
  return s.callerGone;
}

ProcessResult Process::wait() {
  State& s = *state_;
  if (s.waited || !s.started) {
    return s.result;
  }
  s.waited = true;
  int status = 0;
  if (s.spec.parent == ParentKind::Harness) {
    if (!pollReadable(s.keeperPidfd.get(), s.deadline)) {
      s.killAll();
    }
    s.result.statusKnown = waitpid(s.keeper, &status, 0) == s.keeper;
  } else {
    s.control.reset();
    while (s.readRecord()) {
    }
    if (!pollReadable(s.keeperPidfd.get(), Clock::now())) {
      s.killAll();
      s.deadline = Clock::now() + std::chrono::seconds(5);
      while (s.readRecord()) {
      }
    }
    waitpid(s.keeper, nullptr, 0);
    for (const ReapedProcess& r : s.result.reaped) {
      if (r.nsPid == s.program) {
        s.result.statusKnown = true;
        status = r.status;
      }
    }
  }
  if (!s.pump.finish(s.deadline)) {
    s.killAll();  // and stop reading: whoever still holds the outputs gets SIGPIPE
    s.pump.join();
  }
  ProcessResult& r = s.result;
  r.pid = s.program;
  r.exited = r.statusKnown && WIFEXITED(status);
  r.exitCode = r.exited ? WEXITSTATUS(status) : -1;
  r.signaled = r.statusKnown && WIFSIGNALED(status);
  r.termSignal = r.signaled ? WTERMSIG(status) : 0;
  r.out = std::move(s.pump.out_);
  r.err = std::move(s.pump.err_);
  return r;
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
  process.start(spec);
  return process.wait();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string describe(const ProcessResult& r) {
  if (!r.started()) {
    return "not started: " + r.startError;
  }
  std::string text = !r.statusKnown ? "status unknown"
                     : r.exited     ? "exited " + std::to_string(r.exitCode)
                                    : "killed by signal " + std::to_string(r.termSignal);
  if (r.timedOut) {
    text += " (timed out)";
  }
  return text + "\nstdout: \"" + printable(std::string_view(r.out).substr(0, 4000)) +
         "\"\nstderr: \"" + printable(std::string_view(r.err).substr(0, 4000)) + "\"";
}

std::string statusFrame(int code) {
  return "!@#--!@#" + std::to_string(code) + "#@!--#@!";
}

std::string printable(std::string_view bytes) {
  std::string text;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      text += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return text;
}

std::optional<ProcessEntry> processInfo(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  const std::string stat = readFile(dir + "/stat");
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) {
    return std::nullopt;
  }
  ProcessEntry e;
  e.pid = pid;
  e.comm = stat.substr(open + 1, close - open - 1);
  std::istringstream fields(stat.substr(close + 2));
  fields >> e.state >> e.ppid >> e.pgid;
  std::istringstream status(readFile(dir + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream(line.substr(4)) >> e.ruid >> e.euid;
    }
  }
  return e;
}

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> all;
  DIR* proc = opendir("/proc");
  for (dirent* e = proc != nullptr ? readdir(proc) : nullptr; e != nullptr; e = readdir(proc)) {
    const pid_t pid = atoi(e->d_name);
    const auto entry = pid > 0 ? processInfo(pid) : std::nullopt;
    if (entry) {
      all.push_back(*entry);
    }
  }
  if (proc != nullptr) {
    closedir(proc);
  }
  return all;
}

std::vector<ProcessEntry> zombieChildrenOf(pid_t parent) {
  std::vector<ProcessEntry> found = listProcesses();
  std::erase_if(found, [&](const ProcessEntry& p) { return p.ppid != parent || p.state != 'Z'; });
  return found;
}

std::vector<ProcessEntry> processesOfUid(uid_t uid) {
  std::vector<ProcessEntry> found = listProcesses();
  std::erase_if(found, [&](const ProcessEntry& p) { return p.ruid != uid && p.euid != uid; });
  return found;
}

std::vector<int> openFdNumbers() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  for (dirent* e = dir != nullptr ? readdir(dir) : nullptr; e != nullptr; e = readdir(dir)) {
    if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(dir)) {
      fds.push_back(atoi(e->d_name));
    }
  }
  if (dir != nullptr) {
    closedir(dir);
  }
  std::sort(fds.begin(), fds.end());
  return fds;
}

}  // namespace dorq_test
