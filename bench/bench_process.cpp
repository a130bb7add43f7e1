#include "bench/bench_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "port/unique_handle.h"

namespace dorq_bench {
namespace {

using Clock = std::chrono::steady_clock;

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
  pid_t program = -1;
  UniqueFd programPidfd;
  bool ended = false;
  UniqueFd in;
  UniqueFd out;
  UniqueFd err;
  size_t written = 0;

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

  // Writes input, reads both outputs and takes the end of the program until
  // done() holds (true) or the deadline passes (false).
  bool pumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      const int endFd = ended ? -1 : programPidfd.get();
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
      ended = ended || fds[3].revents != 0;
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

  s.program = fork();
  if (s.program == 0) {
    execChild(p);
  }
  if (s.program < 0) {
    s.startError = std::string("fork: ") + strerror(errno);
    return false;
  }
  s.programPidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, s.program, 0)));
  for (UniqueFd* childEnd : {&childIn, &childOut, &childErr, &setup[1], &null}) {
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

ProcessResult Process::wait() {
  State& s = *state_;
  if (s.waited || !s.started) {
    return s.result;
  }
  s.waited = true;
  if (!s.pumpUntil([&s] { return s.ended && !s.out.valid() && !s.err.valid(); })) {
    s.result.timedOut = true;
    kill(-s.program, SIGKILL);
    // No more reading: whoever still holds the outputs gets SIGPIPE.
    for (UniqueFd* fd : {&s.in, &s.out, &s.err}) {
      fd->reset();
    }
    s.deadline = Clock::now() + std::chrono::seconds(5);
    s.pumpUntil([&s] { return s.ended; });
  }
  ProcessResult& r = s.result;
  int status = 0;
  r.statusKnown = waitpid(s.program, &status, 0) == s.program;
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

}  // namespace dorq_bench
