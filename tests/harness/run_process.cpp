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
#include <filesystem>
#include <sstream>
#include <thread>

#include "port/unique_handle.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using Clock = std::chrono::steady_clock;

// In a new PID namespace, pids go in order: the init is 1, the caller 2,
// the program 3.
constexpr pid_t kCallerNsPid = 2;
constexpr pid_t kProgramNsPid = 3;

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

// A failed step of the child: its name (a literal, at the same address in
// the parent) and errno.
struct Failure {
  const char* step = nullptr;
  int error = 0;
};

[[noreturn]] void failStep(int fd, const char* step) {
  const Failure failure{step, errno};
  [[maybe_unused]] const ssize_t n = write(fd, &failure, sizeof failure);
  _exit(127);
}

// Keeps fd alone, as descriptor 0.
void keepOnly(int fd) {
  dup2(fd, 0);
  close_range(1, ~0U, 0);
}

[[noreturn]] void execChild(Plan& p) {
  const ProcessSpec& s = *p.spec;
  int setup = p.setup;
  const auto check = [&setup](bool ok, const char* step) {
    if (!ok) {
      failStep(setup, step);
    }
  };
  check(setpgid(0, 0) == 0, "setpgid");
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    action.sa_handler = SIG_DFL;
    sigaction(sig, &action, nullptr);  // fails for SIGKILL, SIGSTOP and the C library's own
  }
  action.sa_handler = SIG_IGN;
  for (const int sig : s.ignoredSignals) {
    check(sigaction(sig, &action, nullptr) == 0, "sigaction");
  }
  check(sigprocmask(SIG_SETMASK, &p.mask, nullptr) == 0, "sigprocmask");
  check(s.cwd.empty() || chdir(s.cwd.c_str()) == 0, "chdir");
  // Sources go above every number first, so that no placement overwrites a
  // source still to be placed; whatever is above the numbers goes at the exec.
  setup = fcntl(p.setup, F_DUPFD_CLOEXEC, p.base);
  if (setup < 0) {
    failStep(p.setup, "descriptors");
  }
  for (size_t i = 0; i < p.fds.size(); ++i) {
    p.high[i] = fcntl(p.fds[i].source, F_DUPFD_CLOEXEC, p.base);
    check(p.high[i] >= 0, "descriptors");
  }
  close_range(0, static_cast<unsigned>(p.base) - 1, 0);
  for (size_t i = 0; i < p.fds.size(); ++i) {
    check(dup2(p.high[i], p.fds[i].number) >= 0, "descriptors");
  }
  close_range(static_cast<unsigned>(p.base), ~0U, CLOSE_RANGE_CLOEXEC);
  if (s.identity) {
    check(setgroups(s.identity->groups.size(), s.identity->groups.data()) == 0, "setgroups");
    check(setgid(s.identity->gid) == 0, "setgid");
    check(setuid(s.identity->uid) == 0, "setuid");
  }
  if (s.beforeExec) {
    s.beforeExec();
  }
  execve(s.binary.c_str(), p.argv.data(), p.envp.data());
  failStep(setup, "execve");
}

// Pid 1 of a new PID namespace: starts the caller, which starts the program
// and then lives until the test closes the control pipe. The init reaps
// every process of the namespace, reporting each, until none is left.
[[noreturn]] void namespaceInit(Plan& plan, int report, int control) {
  signal(SIGCHLD, SIG_DFL);
  if (fork() == 0) {
    if (fork() == 0) {
      execChild(plan);
    }
    keepOnly(control);
    char byte = 0;
    [[maybe_unused]] const ssize_t n = read(0, &byte, 1);
    _exit(0);
  }
  keepOnly(report);
  for (ReapedProcess r; (r.nsPid = waitpid(-1, &r.status, 0)) > 0 || errno == EINTR;) {
    if (r.nsPid > 0) {
      [[maybe_unused]] const ssize_t n = write(0, &r, sizeof r);
    }
  }
  _exit(0);
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

bool makePipe(UniqueFd* read, UniqueFd* write) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  read->reset(fds[0]);
  write->reset(fds[1]);
  return true;
}

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
  bool keeperEnded = false;
  pid_t program = -1;
  UniqueFd report;   // records of the namespace init
  UniqueFd control;  // the caller lives until this is written or closed
  UniqueFd in;
  UniqueFd out;
  UniqueFd err;
  size_t written = 0;

  bool harness() const { return spec.parent == ParentKind::Harness; }
  // The program (or the whole namespace) is gone.
  bool ended() const { return harness() ? keeperEnded : !report.valid(); }

  // A program that stops reading makes the write fail with EPIPE; the
  // signal, blocked meanwhile, is taken back off this thread.
  void writeInput() {
    sigset_t pipeSignal;
    sigset_t old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    const std::string& bytes = spec.stdinBytes;
    const ssize_t n = write(in.get(), bytes.data() + written, bytes.size() - written);
    const int error = errno;
    written += n > 0 ? static_cast<size_t>(n) : 0;
    if ((n < 0 && error != EAGAIN) || written == bytes.size()) {
      in.reset();
    }
    if (n < 0 && error == EPIPE) {
      const timespec zero{};
      sigtimedwait(&pipeSignal, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  bool reaped(pid_t nsPid) const {
    return std::any_of(result.reaped.begin(), result.reaped.end(),
                       [nsPid](const ReapedProcess& r) { return r.nsPid == nsPid; });
  }

  // Writes input, reads both outputs and takes the end of the program (or
  // the records of the namespace) until done() holds (true) or the deadline
  // passes (false).
  bool pumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      const int endFd = harness() ? (keeperEnded ? -1 : keeperPidfd.get()) : report.get();
      pollfd fds[4] = {{in.get(), POLLOUT, 0},
                       {out.get(), POLLIN, 0},
                       {err.get(), POLLIN, 0},
                       {endFd, POLLIN, 0}};
      if (left.count() <= 0 ||
          (poll(fds, 4, static_cast<int>(left.count())) < 0 && errno != EINTR)) {
        return false;
      }
      if (fds[0].revents != 0) {
        writeInput();
      }
      for (const auto& [polled, fd, text] :
           {std::tie(fds[1], out, result.out), std::tie(fds[2], err, result.err)}) {
        char chunk[65536];
        const ssize_t n = polled.revents != 0 ? read(fd.get(), chunk, sizeof chunk) : -1;
        if (n > 0) {
          text.append(chunk, static_cast<size_t>(n));
        } else if (polled.revents != 0 && (n == 0 || errno != EINTR)) {
          fd.reset();
        }
      }
      ReapedProcess r;
      if (fds[3].revents != 0 && harness()) {
        keeperEnded = true;
      } else if (fds[3].revents != 0 && read(report.get(), &r, sizeof r) == sizeof r) {
        result.reaped.push_back(r);
      } else if (fds[3].revents != 0) {
        report.reset();
      }
    }
    return true;
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
  UniqueFd childIn;
  UniqueFd childOut;
  UniqueFd childErr;
  UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd setup[2];
  if (!makePipe(&childIn, &s.in) || !makePipe(&s.out, &childOut) || !makePipe(&s.err, &childErr) ||
      !makePipe(&setup[0], &setup[1]) || !null.valid()) {
    s.startError = std::string("pipe: ") + strerror(errno);
    return false;
  }
  // Both enums go: pipe, /dev/null, closed.
  const int kinds[] = {static_cast<int>(spec.stdinSource), static_cast<int>(spec.stdoutSink),
                       static_cast<int>(spec.stderrSink)};
  const int pipeEnds[] = {childIn.get(), childOut.get(), childErr.get()};
  for (int number = 0; number < 3; ++number) {
    if (kinds[number] < 2) {
      p.fds.push_back({number, kinds[number] == 0 ? pipeEnds[number] : null.get()});
    }
  }
  for (const InheritedFd& fd : spec.inherited) {
    std::erase_if(p.fds, [&](const InheritedFd& f) { return f.number == fd.number; });
    p.fds.push_back(fd);
    p.base = std::max(p.base, fd.number + 1);
  }
  p.high.resize(p.fds.size());
  p.setup = setup[1].get();

  UniqueFd report;
  UniqueFd control;
  if (s.harness()) {
    s.keeper = s.program = fork();
    if (s.keeper == 0) {
      execChild(p);
    }
  } else if (makePipe(&s.report, &report) && makePipe(&control, &s.control)) {
    s.program = kProgramNsPid;
    s.keeper = forkIntoNewPidNamespace();
    if (s.keeper == 0) {
      namespaceInit(p, report.get(), control.get());
    }
  }
  if (s.keeper < 0) {
    s.startError = std::string("fork: ") + strerror(errno);
    return false;
  }
  s.keeperPidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, s.keeper, 0)));
  for (UniqueFd* childEnd : {&childIn, &childOut, &childErr, &setup[1], &report, &control, &null}) {
    childEnd->reset();
  }
  s.started = true;
  fcntl(s.in.get(), F_SETFL, O_NONBLOCK);
  if (spec.stdinBytes.empty()) {
    s.in.reset();
  } else {
    s.writeInput();  // the rest, beyond what a pipe holds, while wait() runs
  }
  Failure failure;
  if (read(setup[0].get(), &failure, sizeof failure) > 0) {
    s.startError = std::string(failure.step) + ": " + strerror(failure.error);
  }
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
  return s.pumpUntil([&s] { return s.reaped(kCallerNsPid) || !s.report.valid(); }) &&
         s.reaped(kCallerNsPid);
}

ProcessResult Process::wait() {
  State& s = *state_;
  if (s.waited || !s.started) {
    return s.result;
  }
  s.waited = true;
  s.control.reset();
  if (!s.pumpUntil([&s] { return s.ended() && !s.out.valid() && !s.err.valid(); })) {
    s.result.timedOut = true;
    if (s.harness()) {
      kill(-s.keeper, SIGKILL);
    }
    kill(s.keeper, SIGKILL);  // a namespace init takes its namespace with it
    // No more reading: whoever still holds the outputs gets SIGPIPE.
    for (UniqueFd* fd : {&s.in, &s.out, &s.err}) {
      fd->reset();
    }
    s.deadline = Clock::now() + std::chrono::seconds(5);
    s.pumpUntil([&s] { return s.ended(); });
  }
  ProcessResult& r = s.result;
  int status = 0;
  if (s.harness()) {
    r.statusKnown = waitpid(s.keeper, &status, 0) == s.keeper;
  } else {
    waitpid(s.keeper, nullptr, 0);
    for (const ReapedProcess& reaped : r.reaped) {
      if (reaped.nsPid == s.program) {
        r.statusKnown = true;
        status = reaped.status;
      }
    }
  }
  r.pid = s.program;
  r.exited = r.statusKnown && WIFEXITED(status);
  r.exitCode = r.exited ? WEXITSTATUS(status) : -1;
  r.signaled = r.statusKnown && WIFSIGNALED(status);
  r.termSignal = r.signaled ? WTERMSIG(status) : 0;
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
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      text += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return text;
}

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> all;
  for (const auto& dir : std::filesystem::directory_iterator("/proc")) {
    ProcessEntry e;
    e.pid = atoi(dir.path().filename().c_str());
    const std::string stat = readFile(dir.path() / "stat");
    const size_t close = stat.rfind(')');  // after the name, which may hold anything
    if (e.pid <= 0 || close == std::string::npos) {
      continue;
    }
    std::istringstream(stat.substr(close + 2)) >> e.state >> e.ppid >> e.pgid;
    const std::string status = readFile(dir.path() / "status");
    const size_t uid = status.find("\nUid:");
    if (uid != std::string::npos) {
      std::istringstream(status.substr(uid + 5)) >> e.ruid >> e.euid;
    }
    all.push_back(e);
  }
  return all;
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
