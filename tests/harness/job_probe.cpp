// dorq_job_probe: a job for tests. It reports what it was started with, then
// ends in a chosen way.
//
// Usage: dorq_job_probe [REPORT [--no-stdin] [--signal N] [--exit N]]
//   REPORT      the report file (created mode 0666, truncated), "-" for standard
//               output; with no argument at all, the file named by
//               DORQ_PROBE_REPORT, else standard output
//   --no-stdin  leave standard input unread
//   --signal N  end through signal N; --exit N: exit with status N
//
// Report: "key=value" lines; values escape a backslash as "\\" and every byte
// outside 0x20-0x7e as "\xHH". Keys: argv (one line each), fd.<n> (every open
// descriptor and its link target, taken before the probe opens anything),
// stdout_is_stderr, pid, pgid, uid, euid, suid, gid, egid, groups
// (comma-separated), sigblk and sigign (hex masks), env (one line each),
// stdin (every byte up to the end of input; absent when the read failed),
// and last end=1.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

std::string escaped(const char* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      text += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return text;
}

void add(std::string* report, const std::string& key, const std::string& value) {
  *report += key + "=" + escaped(value.data(), value.size()) + "\n";
}

std::string readAll(int fd, bool* ok) {
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<size_t>(n));
  }
  *ok = n == 0;
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string report;
  // Descriptors first: readlink opens nothing.
  for (int fd = 0; fd < 1024; ++fd) {
    char target[512];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    if (n >= 0) {
      add(&report, "fd." + std::to_string(fd), std::string(target, static_cast<size_t>(n)));
    }
  }
  struct stat out {};
  struct stat err {};
  const bool same = fstat(1, &out) == 0 && fstat(2, &err) == 0 && out.st_dev == err.st_dev &&
                    out.st_ino == err.st_ino;
  add(&report, "stdout_is_stderr", same ? "1" : "0");

  const char* path = argc > 1 ? argv[1] : getenv("DORQ_PROBE_REPORT");
  bool readStdin = true;
  int sig = 0;
  int exitCode = 0;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "--no-stdin") == 0) {
      readStdin = false;
    } else if (strcmp(argv[i], "--signal") == 0 && i + 1 < argc) {
      sig = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
      exitCode = atoi(argv[++i]);
    }
  }
  for (int i = 0; i < argc; ++i) {
    add(&report, "argv", argv[i]);
  }
  uid_t uid[3];
  gid_t gid[3];
  getresuid(&uid[0], &uid[1], &uid[2]);
  getresgid(&gid[0], &gid[1], &gid[2]);
  add(&report, "pid", std::to_string(getpid()));
  add(&report, "pgid", std::to_string(getpgid(0)));
  add(&report, "uid", std::to_string(uid[0]));
  add(&report, "euid", std::to_string(uid[1]));
  add(&report, "suid", std::to_string(uid[2]));
  add(&report, "gid", std::to_string(gid[0]));
  add(&report, "egid", std::to_string(gid[1]));
  gid_t groups[1024];
  const int count = getgroups(1024, groups);
  std::string list;
  for (int i = 0; i < count; ++i) {
    list += (i == 0 ? "" : ",") + std::to_string(groups[i]);
  }
  add(&report, "groups", list);
  bool ok = false;
  const int statusFd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  const std::string status = readAll(statusFd, &ok);
  close(statusFd);
  for (const char* name : {"SigBlk", "SigIgn"}) {
    const size_t at = status.find(std::string("\n") + name + ":\t");
    const std::string key = name[3] == 'B' ? "sigblk" : "sigign";
    add(&report, key, at == std::string::npos ? "" : status.substr(at + 9, 16));
  }
  for (char** entry = environ; *entry != nullptr; ++entry) {
    add(&report, "env", *entry);
  }
  if (readStdin) {
    const std::string in = readAll(0, &ok);
    if (ok) {
      add(&report, "stdin", in);
    }
  }
  report += "end=1\n";

  int fd = 1;
  if (path != nullptr && strcmp(path, "-") != 0) {
    // Never at the place of a closed standard descriptor.
    const int opened = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    fd = opened < 0 ? -1 : fcntl(opened, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
      return 126;
    }
  }
  for (size_t done = 0; done < report.size();) {
    const ssize_t n = write(fd, report.data() + done, report.size() - done);
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (sig != 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    signal(sig, SIG_DFL);
    raise(sig);
  }
  return exitCode;
}
