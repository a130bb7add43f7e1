// dorq_job_probe: a job for tests. It reports what it was started with, then
// ends in a chosen way.
//
// Usage: dorq_job_probe [REPORT [exit=N] [signal=N]]
//   REPORT    the report file (created mode 0666, truncated); with no argument
//             at all, the file named by DORQ_PROBE_REPORT, else standard output
//   exit=N    exit with status N; signal=N: end through signal N. Either
//             leaves standard input unread.
//
// Report: "key=value" lines; values escape a backslash as "\\" and every byte
// outside 0x20-0x7e as "\xHH". Keys: argv (one line each), fd.<n> (every open
// descriptor and its link target, taken before the probe opens anything),
// pid, pgid, uid, euid, suid, gid, egid, groups
// (comma-separated), sigblk and sigign (hex masks), env (one line each),
// stdin (every byte up to the end of input; absent when the read failed or
// was skipped), and last end=1.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

std::string report;

void add(const std::string& key, const std::string& value) {
  report += key + "=";
  for (const char byte : value) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == '\\') {
      report += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      report += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      report += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  report += "\n";
}

// Everything up to the end of input; false when a read failed.
bool readAll(int fd, std::string* text) {
  char chunk[4096];
  ssize_t n = 0;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) {
    text->append(chunk, static_cast<size_t>(n));
  }
  return n == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Descriptors first: readlink opens nothing.
  for (int fd = 0; fd < 1024; ++fd) {
    char target[512];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    if (n >= 0) {
      add("fd." + std::to_string(fd), std::string(target, static_cast<size_t>(n)));
    }
  }
  const char* path = argc > 1 ? argv[1] : getenv("DORQ_PROBE_REPORT");
  int sig = 0;
  int exitCode = 0;
  for (int i = 0; i < argc; ++i) {
    add("argv", argv[i]);
    if (i > 1 && strncmp(argv[i], "exit=", 5) == 0) {
      exitCode = atoi(argv[i] + 5);
    } else if (i > 1 && strncmp(argv[i], "signal=", 7) == 0) {
      sig = atoi(argv[i] + 7);
    }
  }
  uid_t uid[3];
  gid_t gid[3];
  getresuid(&uid[0], &uid[1], &uid[2]);
  getresgid(&gid[0], &gid[1], &gid[2]);
  const std::pair<const char*, long> ids[] = {
      {"pid", getpid()}, {"pgid", getpgid(0)}, {"uid", uid[0]}, {"euid", uid[1]},
      {"suid", uid[2]},  {"gid", gid[0]},      {"egid", gid[1]}};
  for (const auto& [key, id] : ids) {
    add(key, std::to_string(id));
  }
  gid_t groups[1024];
  std::string list;
  for (int i = 0, count = getgroups(1024, groups); i < count; ++i) {
    list += (i == 0 ? "" : ",") + std::to_string(groups[i]);
  }
  add("groups", list);
  std::string status;
  const int statusFd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  readAll(statusFd, &status);
  close(statusFd);
  for (const char* name : {"SigBlk", "SigIgn"}) {
    const size_t at = status.find(std::string("\n") + name + ":\t");
    add(name[3] == 'B' ? "sigblk" : "sigign",
        at == std::string::npos ? "" : status.substr(at + 9, 16));
  }
  for (char** entry = environ; *entry != nullptr; ++entry) {
    add("env", *entry);
  }
  std::string in;
  if (argc <= 2 && readAll(0, &in)) {
    add("stdin", in);
  }
  report += "end=1\n";

  int fd = 1;
  if (path != nullptr) {
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
