// dorq-client: runs one job through dorq the way a scheduler does, and says
// in words what came back.
//
//   dorq-client [--dorq PATH] [--password-file FILE] [--flags N] USER COMMAND [ARG...]
//   dorq-client -h | --help | --version
//
// The password is the first line of FILE, or of standard input without
// --password-file. The client builds the request record, starts dorq with
// "-childpidfile 3" and a pipe on descriptor 3 to learn the job's pid, asks
// for status words (flags value 2 is always added), feeds the record, and
// reads dorq's standard output, standard error and the pid pipe until all
// three end. Then it passes the job's own output through (standard output,
// and standard error with flags value 1), and prints one line on standard
// error: the meaning of dorq's status code, or the command's exit status, with
// a signal's name where one is known, such as
//   dorq-client: started, pid 4242, exit status 0
//   dorq-client: started, pid 4242, exit status 137 (SIGKILL by the shell convention)
//   dorq-client: authentication failed (7)
//   dorq-client: command could not be executed (10)
// Its exit status is dorq's (the command's own, or dorq's status code), 125
// when the client itself failed, 128 + n when dorq ended through signal n.
// COMMAND "kill" with the pid as its argument stops an earlier job.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "examples/client_decode.h"
#include "examples/client_request.h"
#include "port/unique_handle.h"

#ifndef DORQ_CLIENT_DEFAULT_DORQ
#define DORQ_CLIENT_DEFAULT_DORQ "/usr/local/libexec/dorq/dorq"
#endif
// The project's version, given by the build.
#ifndef DORQ_CLIENT_VERSION
#define DORQ_CLIENT_VERSION "unknown"
#endif

namespace {

using dorq_client::DorqChannels;
using dorq_client::DorqOutcome;
using dorq_client::OutcomeKind;

constexpr int kClientFailed = 125;
constexpr int kSignalExitBase = 128;
// dorq writes the child pid record to this descriptor.
constexpr int kPidDescriptor = 3;
constexpr char kPidDescriptorText[] = "3";
// Pipe ends are kept at or above this number, clear of 0 to 3, so that
// placing them at 0 to 3 in the child never overwrites one another.
constexpr int kLowestPipeDescriptor = 10;
constexpr size_t kReadChunk = 65536;
// A password line may hold kMaxRequestLine characters; reading stops one
// byte later, which is enough to see that a longer one does not fit.
constexpr size_t kMaxPasswordRead = dorq_client::kMaxRequestLine + 1;
constexpr int kDecimal = 10;

struct Options {
  const char* dorq = DORQ_CLIENT_DEFAULT_DORQ;
  const char* passwordFile = nullptr;
  int flags = dorq_client::kFlagStatusWords;
  int firstOperand = 0;
  bool help = false;
  bool version = false;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

void complain(std::string_view text) {
  fprintf(stderr, "dorq-client: %.*s\n", static_cast<int>(text.size()), text.data());
}

constexpr char kUsage[] =
    "usage: dorq-client [--dorq PATH] [--password-file FILE] [--flags N] USER COMMAND [ARG...]\n"
    "       dorq-client -h | --help | --version\n";

// A bad command line: the usage on standard error.
void usage() {
  fputs(kUsage, stderr);
}

// --help: the usage and every option, on standard output.
bool help() {
  fputs(kUsage, stdout);
  printf(
      "\n"
      "Runs COMMAND with its ARGs as USER through dorq, passes the job's output through\n"
      "and says on standard error what came back. The password is the first line of\n"
      "standard input, or of FILE. COMMAND \"kill\" with a job's pid stops that job.\n"
      "\n"
      "  --dorq PATH           the program to start, by default\n"
      "                        %s\n"
      "  --password-file FILE  read the password from the first line of FILE\n"
      "  --flags N             the request's flags word: 1 keeps the job's standard\n"
      "                        error apart, 4 waits blocking; 2 (status words) is\n"
      "                        always added\n"
      "  -h, --help            print this help and exit\n"
      "  --version             print the version and exit\n"
      "\n"
      "Exit status: dorq's (the command's own, or dorq's status code), 125 when\n"
      "dorq-client itself failed, 128 + n when dorq ended through signal n.\n",
      DORQ_CLIENT_DEFAULT_DORQ);
  return fflush(stdout) == 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<int> parseFlags(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, kDecimal);
  if (end == text || *end != '\0' || errno != 0 || value < 0 || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

bool parseOptions(int argc, char** argv, Options* options) {
  enum : int { kDorq = 'd', kPasswordFile = 'p', kFlags = 'f', kHelp = 'h', kVersion = 'v' };
  static const std::array<option, 6> kLongOptions = {{
      {"dorq", required_argument, nullptr, kDorq},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"flags", required_argument, nullptr, kFlags},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  }};
  // "+": stop at the first operand, so the command's own options stay its own.
  int option = 0;
  while ((option = getopt_long(argc, argv, "+h", kLongOptions.data(), nullptr)) != -1) {
    switch (option) {
      case kDorq:
        options->dorq = optarg;
        break;
      case kPasswordFile:
        options->passwordFile = optarg;
        break;
      case kFlags: {
        const std::optional<int> flags = parseFlags(optarg);
        if (!flags) {
          complain("--flags takes a non-negative decimal number");
          usage();
          return false;
        }
        options->flags = *flags;
        break;
      }
      case kHelp:
        options->help = true;
        return true;
      case kVersion:
        options->version = true;
        return true;
      default:
        usage();
        return false;
    }
  }
  if (argc - optind < 2) {
    usage();
    return false;
  }
  options->flags |= dorq_client::kFlagStatusWords;
  options->firstOperand = optind;
  return true;
}

// The first line of the password file, or of standard input.
std::optional<std::string> readPassword(const char* file) {
  UniqueFd owned;
  int fd = STDIN_FILENO;
  if (file != nullptr) {
    owned.reset(open(file, O_RDONLY | O_CLOEXEC));
    if (!owned.valid()) {
      complain(std::string("cannot open the password file ") + file + ": " + strerror(errno));
      return std::nullopt;
    }
    fd = owned.get();
  }
  std::string text;
  std::array<char, kReadChunk> chunk{};
  while (text.size() < kMaxPasswordRead && text.find('\n') == std::string::npos) {
    const ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      complain(std::string("cannot read the password: ") + strerror(errno));
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(chunk.data(), static_cast<size_t>(n));
  }
  return std::string(dorq_client::firstLine(text));
}

// A close-on-exec pipe whose ends lie at kLowestPipeDescriptor or above.
bool makePipe(Pipe* pipe) {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) {
    return false;
  }
  UniqueFd low0(ends[0]);
  UniqueFd low1(ends[1]);
  pipe->read.reset(fcntl(low0.get(), F_DUPFD_CLOEXEC, kLowestPipeDescriptor));
  pipe->write.reset(fcntl(low1.get(), F_DUPFD_CLOEXEC, kLowestPipeDescriptor));
  return pipe->read.valid() && pipe->write.valid();
}

struct Collected {
  std::string out;
  std::string err;
  std::string pid;
  int waitStatus = 0;
};

// In the forked child: place the pipe ends and become dorq. Only
// async-signal-safe calls; a failure is reported through `report`.
[[noreturn]] void becomeDorq(const char* dorq, const Pipe& in, const Pipe& out, const Pipe& err,
                             const Pipe& pid, int report) {
  signal(SIGPIPE, SIG_DFL);  // dorq and the job get the default action back
  if (dup2(in.read.get(), STDIN_FILENO) < 0 || dup2(out.write.get(), STDOUT_FILENO) < 0 ||
      dup2(err.write.get(), STDERR_FILENO) < 0 || dup2(pid.write.get(), kPidDescriptor) < 0) {
    const int error = errno;
    (void)!write(report, &error, sizeof error);
    _exit(kClientFailed);
  }
  std::array<const char*, 4> argv = {dorq, "-childpidfile", kPidDescriptorText, nullptr};
  execv(dorq, const_cast<char* const*>(argv.data()));
  const int error = errno;
  (void)!write(report, &error, sizeof error);
  _exit(kClientFailed);
}

// Reads what is there on `fd`; false once the pipe has ended.
bool drain(int fd, std::string* into) {
  std::array<char, kReadChunk> chunk{};
  const ssize_t n = read(fd, chunk.data(), chunk.size());
  if (n > 0) {
    into->append(chunk.data(), static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// Feeds the record and reads the three channels until every one has ended:
// dorq and the job both hold them, so this waits for the job too.
void pump(std::string_view record, UniqueFd* in, UniqueFd* out, UniqueFd* err, UniqueFd* pid,
          Collected* collected) {
  fcntl(in->get(), F_SETFL, O_NONBLOCK);
  std::array<UniqueFd*, 4> owners = {in, out, err, pid};
  std::array<std::string*, 4> sinks = {nullptr, &collected->out, &collected->err, &collected->pid};
  for (;;) {
    std::array<pollfd, 4> watched{};
    size_t open = 0;
    for (size_t i = 0; i < owners.size(); ++i) {
      watched[i].fd = owners[i]->valid() ? owners[i]->get() : -1;
      watched[i].events = i == 0 ? POLLOUT : POLLIN;
      open += owners[i]->valid() ? 1 : 0;
    }
    if (open == 0) {
      return;
    }
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (watched[0].revents != 0) {
      const ssize_t n = write(in->get(), record.data(), record.size());
      if (n > 0) {
        record.remove_prefix(static_cast<size_t>(n));
      }
      // The record is complete, or dorq stopped reading: end its input, so
      // that the job finds the end of its standard input there.
      if (record.empty() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        in->reset();
      }
    }
    for (size_t i = 1; i < owners.size(); ++i) {
      if (watched[i].revents != 0 && !drain(owners[i]->get(), sinks[i])) {
        owners[i]->reset();
      }
    }
  }
}

// Starts dorq, feeds the record, collects its channels and its end.
bool runDorq(const char* dorq, std::string_view record, Collected* collected) {
  Pipe in;
  Pipe out;
  Pipe err;
  Pipe pid;
  Pipe report;
  if (!makePipe(&in) || !makePipe(&out) || !makePipe(&err) || !makePipe(&pid) ||
      !makePipe(&report)) {
    complain(std::string("cannot make a pipe: ") + strerror(errno));
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    complain(std::string("cannot fork: ") + strerror(errno));
    return false;
  }
  if (child == 0) {
    becomeDorq(dorq, in, out, err, pid, report.write.get());
  }
  in.read.reset();
  out.write.reset();
  err.write.reset();
  pid.write.reset();
  report.write.reset();

  int execError = 0;
  const ssize_t reported = read(report.read.get(), &execError, sizeof execError);
  if (reported == static_cast<ssize_t>(sizeof execError)) {
    waitpid(child, nullptr, 0);
    complain(std::string("cannot run ") + dorq + ": " + strerror(execError));
    return false;
  }
  pump(record, &in.write, &out.read, &err.read, &pid.read, collected);
  while (waitpid(child, &collected->waitStatus, 0) < 0) {
    if (errno != EINTR) {
      complain(std::string("cannot wait for dorq: ") + strerror(errno));
      return false;
    }
  }
  return true;
}

int exitStatusFor(const DorqOutcome& outcome) {
  if (outcome.kind == OutcomeKind::DorqSignalled) {
    return kSignalExitBase + outcome.signal;
  }
  return outcome.exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    return kClientFailed;
  }
  if (options.help) {
    return help() ? 0 : kClientFailed;
  }
  if (options.version) {
    printf("dorq-client %s\n", DORQ_CLIENT_VERSION);
    return fflush(stdout) == 0 ? 0 : kClientFailed;
  }
  const std::optional<std::string> password = readPassword(options.passwordFile);
  if (!password) {
    return kClientFailed;
  }
  dorq_client::RequestFields fields;
  fields.user = argv[options.firstOperand];
  fields.password = *password;
  fields.flags = options.flags;
  fields.command = argv[options.firstOperand + 1];
  for (int i = options.firstOperand + 2; i < argc; ++i) {
    fields.args.emplace_back(argv[i]);
  }
  std::string problem;
  const std::optional<std::string> record = dorq_client::buildRequestRecord(fields, &problem);
  if (!record) {
    complain(problem);
    return kClientFailed;
  }

  // A job that stops reading its input must not end the client.
  signal(SIGPIPE, SIG_IGN);
  Collected collected;
  if (!runDorq(options.dorq, *record, &collected)) {
    return kClientFailed;
  }
  DorqChannels channels;
  channels.out = collected.out;
  channels.err = collected.err;
  channels.pidRecord = collected.pid;
  channels.waitStatus = collected.waitStatus;
  channels.killRequest = fields.command == "kill";
  const DorqOutcome outcome = dorq_client::decodeDorqRun(channels);

  writeAll(STDOUT_FILENO, outcome.jobOut);
  writeAll(STDERR_FILENO, outcome.jobErr);
  complain(dorq_client::describeOutcome(outcome));
  return exitStatusFor(outcome);
}
