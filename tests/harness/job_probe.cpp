// dorq_job_probe: a job for tests. It reports what it was started with, then
// optionally writes given text, sleeps, and ends in a chosen way.
//
// Usage: dorq_job_probe [REPORT [OPTION...]]
//
//   REPORT  the file the report goes to: opened write-only, created with mode
//           0666 (before the umask) when missing, truncated. "-" sends the
//           report to standard output. With no argument at all (also with an
//           empty argument vector) the file named by the environment variable
//           DORQ_PROBE_REPORT is used, or standard output when it is unset.
//           When the probe runs as an unprivileged user, give it a file it may
//           write (a file chowned to it, or one in a directory of mode 0777).
//
// Options (a word that is not one of these, or lacks its value, is reported as
// "probe.unknown=<word>" and skipped):
//   --env NAME       report only the environment entries named NAME (repeatable);
//                    by default every entry is reported
//   --no-stdin       leave standard input unread
//   --await-orphan   before collecting anything, wait until the parent process
//                    id is 1, that is until the parent has ended and init has
//                    adopted the probe (polls every 10 ms, gives up after 10
//                    seconds)
//   --out TEXT       after the report, write TEXT to standard output in one write
//   --err TEXT       then write TEXT to standard error in one write
//   --sleep N        then sleep N seconds
//   --pause          then wait for a signal, forever
//   --signal N       then end through signal N (default action, unblocked)
//   --exit N         then exit with status N (default 0)
// TEXT uses the escaped form below, so that any byte can pass through an
// argument vector (and through dorq's line-based request).
//
// Report: one fact per line, "key=value\n". Values are escaped: the bytes 0x20
// to 0x7e stand for themselves except the backslash, written "\\"; every other
// byte is written "\xHH" with two lowercase hex digits. Keys, in this order:
//   argc, argv.<i>             the argument vector
//   fd.<n>                     every open descriptor and its link target, taken
//                              before the probe opens anything
//   stdout_is_stderr           1 when descriptors 1 and 2 are the same open
//                              file (same device and inode), 0 when not,
//                              "closed" when either is closed
//   pid, ppid, pgid, sid
//   uid, euid, suid, gid, egid, sgid
//   groups                     supplementary groups, comma-separated, "" for none
//   umask                      octal
//   cwd
//   sigblk, sigign             the SigBlk and SigIgn masks of /proc/self/status
//                              (hex, "" when unreadable)
//   env                        one line per reported entry, "NAME=VALUE"
//   stdin                      every byte up to the end of input; or
//   stdin.errno                the errno of a failed read (9 when descriptor 0 is closed)
//   end=1                      the last line: the report is complete
// Exit status 126 means the report file could not be opened.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kReportOpenFailed = 126;
constexpr int kSignalSurvived = 125;
// Descriptors recorded at start; more are reported as "fd.overflow=1".
constexpr size_t kMaxFds = 256;
// Bytes kept of one descriptor's link target; longer targets are cut.
constexpr size_t kMaxLinkTarget = 512;
// Supplementary groups reported; more are reported as "groups.overflow=1".
constexpr int kMaxGroups = 1024;
// Names given with --env; more are ignored.
constexpr int kMaxEnvNames = 64;
// Unknown option words reported; more are dropped.
constexpr int kMaxUnknownWords = 16;
// Bytes read from /proc/self/status; the lines wanted are near its start.
constexpr size_t kStatusBytes = 8192;
constexpr size_t kWriteBuffer = 4096;
constexpr size_t kReadChunk = 4096;
constexpr int kAwaitOrphanPolls = 1000;
constexpr long kAwaitOrphanPollNs = 10L * 1000 * 1000;
// The report descriptor is moved to this number or above, so that it never
// takes the place of a closed standard descriptor.
constexpr int kReportFdFloor = 3;

struct FdFact {
  int fd;
  char target[kMaxLinkTarget];
  size_t targetLength;
};

FdFact gFds[kMaxFds];
size_t gFdCount = 0;
bool gFdOverflow = false;
bool gFdListFailed = false;

struct Options {
  const char* report = nullptr;
  const char* envNames[kMaxEnvNames] = {};
  int envNameCount = 0;
  bool readStdin = true;
  bool awaitOrphan = false;
  char* out = nullptr;
  char* err = nullptr;
  const char* unknownWords[kMaxUnknownWords] = {};
  int unknownCount = 0;
  long sleepSeconds = 0;
  bool pauseForever = false;
  int signal = 0;
  int exitCode = 0;
};

// Buffered writer over one descriptor; write errors end the writing quietly.
struct Writer {
  int fd = -1;
  char buffer[kWriteBuffer];
  size_t used = 0;
  bool failed = false;
};

Writer gReport;

void writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void flush(Writer* w) {
  if (!w->failed && w->used > 0) {
    size_t done = 0;
    while (done < w->used) {
      const ssize_t n = write(w->fd, w->buffer + done, w->used - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        w->failed = true;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  w->used = 0;
}

void put(Writer* w, const char* data, size_t length) {
  while (length > 0) {
    if (w->used == sizeof w->buffer) {
      flush(w);
    }
    size_t room = sizeof w->buffer - w->used;
    if (room > length) {
      room = length;
    }
    memcpy(w->buffer + w->used, data, room);
    w->used += room;
    data += room;
    length -= room;
  }
}

void putText(Writer* w, const char* text) {
  put(w, text, strlen(text));
}

void putEscaped(Writer* w, const char* data, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (byte == '\\') {
      put(w, "\\\\", 2);
    } else if (byte >= 0x20 && byte < 0x7f) {
      put(w, &data[i], 1);
    } else {
      const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
      put(w, escaped, sizeof escaped);
    }
  }
}

// Formats an unsigned number in `base` (8, 10 or 16) at the end of `buffer`.
const char* formatUnsigned(unsigned long long value, unsigned base, char* buffer, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char* p = buffer + size - 1;
  *p = '\0';
  do {
    *--p = kDigits[value % base];
    value /= base;
  } while (value != 0 && p > buffer);
  return p;
}

constexpr size_t kNumberBuffer = 32;

void putNumber(Writer* w, long long value) {
  char buffer[kNumberBuffer];
  if (value < 0) {
    put(w, "-", 1);
    putText(w, formatUnsigned(0ULL - static_cast<unsigned long long>(value), 10, buffer,
                              sizeof buffer));
  } else {
    putText(w, formatUnsigned(static_cast<unsigned long long>(value), 10, buffer, sizeof buffer));
  }
}

void keyNumber(const char* key, long long value) {
  putText(&gReport, key);
  put(&gReport, "=", 1);
  putNumber(&gReport, value);
  put(&gReport, "\n", 1);
}

void keyEscaped(const char* key, const char* value, size_t length) {
  putText(&gReport, key);
  put(&gReport, "=", 1);
  putEscaped(&gReport, value, length);
  put(&gReport, "\n", 1);
}

void keyIndexed(const char* prefix, long long index, const char* value, size_t length) {
  putText(&gReport, prefix);
  putNumber(&gReport, index);
  put(&gReport, "=", 1);
  putEscaped(&gReport, value, length);
  put(&gReport, "\n", 1);
}

// Parses a whole decimal number; false when `text` is not one.
bool parseLong(const char* text, long* value) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long parsed = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  *value = parsed;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Decodes the escaped form in place (it only ever shrinks); returns the length.
size_t unescapeInPlace(char* text) {
  size_t out = 0;
  size_t in = 0;
  while (text[in] != '\0') {
    if (text[in] == '\\' && text[in + 1] == '\\') {
      text[out++] = '\\';
      in += 2;
    } else if (text[in] == '\\' && text[in + 1] == 'x' && hexValue(text[in + 2]) >= 0 &&
               hexValue(text[in + 3]) >= 0) {
      text[out++] = static_cast<char>(hexValue(text[in + 2]) * 16 + hexValue(text[in + 3]));
      in += 4;
    } else {
      text[out++] = text[in++];
    }
  }
  return out;
}

void recordFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    gFdListFailed = true;
    return;
  }
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    long fd = -1;
    if (!parseLong(entry->d_name, &fd) || fd == own || fd < 0 || fd > INT_MAX) {
      continue;
    }
    if (gFdCount == kMaxFds) {
      gFdOverflow = true;
      continue;
    }
    FdFact& fact = gFds[gFdCount++];
    fact.fd = static_cast<int>(fd);
    const ssize_t n = readlinkat(own, entry->d_name, fact.target, sizeof fact.target);
    fact.targetLength = n < 0 ? 0 : static_cast<size_t>(n);
  }
  closedir(dir);
  // Ascending order, for a stable report.
  for (size_t i = 1; i < gFdCount; ++i) {
    for (size_t j = i; j > 0 && gFds[j - 1].fd > gFds[j].fd; --j) {
      const FdFact swap = gFds[j];
      gFds[j] = gFds[j - 1];
      gFds[j - 1] = swap;
    }
  }
}

const char* stdoutIsStderr() {
  struct stat out {};
  struct stat err {};
  if (fstat(1, &out) != 0 || fstat(2, &err) != 0) {
    return "closed";
  }
  return out.st_dev == err.st_dev && out.st_ino == err.st_ino ? "1" : "0";
}

bool openReport(const char* path) {
  if (strcmp(path, "-") == 0) {
    gReport.fd = 1;
    return true;
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    return false;
  }
  if (fd >= kReportFdFloor) {
    gReport.fd = fd;
    return true;
  }
  gReport.fd = fcntl(fd, F_DUPFD_CLOEXEC, kReportFdFloor);
  close(fd);
  return gReport.fd >= 0;
}

void reportArgs(int argc, char** argv) {
  keyNumber("argc", argc);
  for (int i = 0; i < argc; ++i) {
    keyIndexed("argv.", i, argv[i], strlen(argv[i]));
  }
}

void reportFds(const char* stdoutIsStderrText) {
  for (size_t i = 0; i < gFdCount; ++i) {
    keyIndexed("fd.", gFds[i].fd, gFds[i].target, gFds[i].targetLength);
  }
  if (gFdOverflow) {
    keyNumber("fd.overflow", 1);
  }
  if (gFdListFailed) {
    keyNumber("fd.error", 1);
  }
  keyEscaped("stdout_is_stderr", stdoutIsStderrText, strlen(stdoutIsStderrText));
}

void reportIds() {
  keyNumber("pid", getpid());
  keyNumber("ppid", getppid());
  keyNumber("pgid", getpgid(0));
  keyNumber("sid", getsid(0));
  uid_t ruid = 0;
  uid_t euid = 0;
  uid_t suid = 0;
  getresuid(&ruid, &euid, &suid);
  gid_t rgid = 0;
  gid_t egid = 0;
  gid_t sgid = 0;
  getresgid(&rgid, &egid, &sgid);
  keyNumber("uid", ruid);
  keyNumber("euid", euid);
  keyNumber("suid", suid);
  keyNumber("gid", rgid);
  keyNumber("egid", egid);
  keyNumber("sgid", sgid);

  static gid_t groups[kMaxGroups];
  const int count = getgroups(kMaxGroups, groups);
  putText(&gReport, "groups=");
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      put(&gReport, ",", 1);
    }
    putNumber(&gReport, groups[i]);
  }
  put(&gReport, "\n", 1);
  if (count < 0) {
    keyNumber("groups.overflow", 1);
  }
}

void reportUmaskAndCwd() {
  const mode_t mask = umask(0);
  umask(mask);
  char buffer[kNumberBuffer];
  const char* octal = formatUnsigned(mask, 8, buffer, sizeof buffer);
  keyEscaped("umask", octal, strlen(octal));

  static char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) {
    keyEscaped("cwd", cwd, strlen(cwd));
  } else {
    keyNumber("cwd.errno", errno);
  }
}

// Copies the value of the line "Name:\t<value>" of the status text.
void reportStatusMask(const char* status, const char* name, const char* key) {
  const size_t nameLength = strlen(name);
  const char* line = status;
  while (*line != '\0') {
    const char* end = strchr(line, '\n');
    const size_t length = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
    if (length > nameLength && strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
      const char* value = line + nameLength + 1;
      while (*value == '\t' || *value == ' ') {
        ++value;
      }
      keyEscaped(key, value, static_cast<size_t>(line + length - value));
      return;
    }
    if (end == nullptr) {
      break;
    }
    line = end + 1;
  }
  keyEscaped(key, "", 0);
}

void reportSignals() {
  static char status[kStatusBytes];
  size_t used = 0;
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (used < sizeof status - 1) {
      const ssize_t n = read(fd, status + used, sizeof status - 1 - used);
      if (n <= 0) {
        break;
      }
      used += static_cast<size_t>(n);
    }
    close(fd);
  }
  status[used] = '\0';
  reportStatusMask(status, "SigBlk", "sigblk");
  reportStatusMask(status, "SigIgn", "sigign");
}

bool envWanted(const Options& options, const char* entry) {
  if (options.envNameCount == 0) {
    return true;
  }
  const char* equals = strchr(entry, '=');
  const size_t nameLength = equals == nullptr ? strlen(entry) : static_cast<size_t>(equals - entry);
  for (int i = 0; i < options.envNameCount; ++i) {
    if (strlen(options.envNames[i]) == nameLength &&
        strncmp(options.envNames[i], entry, nameLength) == 0) {
      return true;
    }
  }
  return false;
}

void reportEnv(const Options& options) {
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (envWanted(options, *entry)) {
      keyEscaped("env", *entry, strlen(*entry));
    }
  }
}

void reportStdin() {
  static char chunk[kReadChunk];
  bool started = false;
  while (true) {
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      if (started) {
        put(&gReport, "\n", 1);
      }
      keyNumber("stdin.errno", errno);
      return;
    }
    if (!started) {
      putText(&gReport, "stdin=");
      started = true;
    }
    if (n == 0) {
      put(&gReport, "\n", 1);
      return;
    }
    putEscaped(&gReport, chunk, static_cast<size_t>(n));
  }
}

void awaitOrphan() {
  const timespec pollInterval{0, kAwaitOrphanPollNs};
  for (int i = 0; i < kAwaitOrphanPolls && getppid() != 1; ++i) {
    nanosleep(&pollInterval, nullptr);
  }
}

void noteUnknown(Options* options, const char* word) {
  if (options->unknownCount < kMaxUnknownWords) {
    options->unknownWords[options->unknownCount++] = word;
  }
}

void parseOptions(int argc, char** argv, Options* options) {
  if (argc < 2) {
    options->report = getenv("DORQ_PROBE_REPORT");
    if (options->report == nullptr) {
      options->report = "-";
    }
    return;
  }
  options->report = argv[1];
  for (int i = 2; i < argc; ++i) {
    const char* word = argv[i];
    char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    if (strcmp(word, "--no-stdin") == 0) {
      options->readStdin = false;
    } else if (strcmp(word, "--await-orphan") == 0) {
      options->awaitOrphan = true;
    } else if (strcmp(word, "--pause") == 0) {
      options->pauseForever = true;
    } else if (strcmp(word, "--env") == 0 && value != nullptr) {
      if (options->envNameCount < kMaxEnvNames) {
        options->envNames[options->envNameCount++] = value;
      }
      ++i;
    } else if (strcmp(word, "--out") == 0 && value != nullptr) {
      options->out = value;
      ++i;
    } else if (strcmp(word, "--err") == 0 && value != nullptr) {
      options->err = value;
      ++i;
    } else if (strcmp(word, "--sleep") == 0 && parseLong(value, &number) && number >= 0 &&
               number <= INT_MAX) {
      options->sleepSeconds = number;
      ++i;
    } else if (strcmp(word, "--signal") == 0 && parseLong(value, &number) && number > 0 &&
               number < NSIG) {
      options->signal = static_cast<int>(number);
      ++i;
    } else if (strcmp(word, "--exit") == 0 && parseLong(value, &number) && number >= 0 &&
               number <= 255) {
      options->exitCode = static_cast<int>(number);
      ++i;
    } else {
      noteUnknown(options, word);
    }
  }
}

void reportUnknownWords(const Options& options) {
  for (int i = 0; i < options.unknownCount; ++i) {
    keyEscaped("probe.unknown", options.unknownWords[i], strlen(options.unknownWords[i]));
  }
}

// Decodes the escaped TEXT in place (argument strings are writable) and
// writes it in one write.
void writeText(int fd, char* escaped) {
  if (escaped != nullptr) {
    writeAll(fd, escaped, unescapeInPlace(escaped));
  }
}

[[noreturn]] void endBySignal(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(kSignalSurvived);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  parseOptions(argc, argv, &options);
  if (options.awaitOrphan) {
    awaitOrphan();
  }
  recordFds();
  const char* sameFile = stdoutIsStderr();
  if (!openReport(options.report)) {
    static constexpr char kMessage[] = "dorq_job_probe: cannot open the report file\n";
    writeAll(2, kMessage, sizeof kMessage - 1);
    return kReportOpenFailed;
  }

  reportArgs(argc, argv);
  reportUnknownWords(options);
  reportFds(sameFile);
  reportIds();
  reportUmaskAndCwd();
  reportSignals();
  reportEnv(options);
  if (options.readStdin) {
    reportStdin();
  }
  putText(&gReport, "end=1\n");
  flush(&gReport);
  if (gReport.fd != 1) {
    close(gReport.fd);
  }

  writeText(1, options.out);
  writeText(2, options.err);
  for (unsigned left = static_cast<unsigned>(options.sleepSeconds); left > 0;) {
    left = sleep(left);
  }
  while (options.pauseForever) {
    pause();
  }
  if (options.signal != 0) {
    endBySignal(options.signal);
  }
  return options.exitCode;
}
