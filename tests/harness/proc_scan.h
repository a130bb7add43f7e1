// What the kernel shows in /proc about processes and their descriptors, for
// "nothing left behind" checks: open descriptors of a process, children,
// descendants, zombies, the processes of a user, the holders of a pipe, and the
// translation of a pid seen inside a child PID namespace to the harness's view.
#ifndef DORQ_TESTS_HARNESS_PROC_SCAN_H
#define DORQ_TESTS_HARNESS_PROC_SCAN_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace dorq_test {

// One open descriptor and what it points to (the text of /proc/<pid>/fd/<n>:
// a path, "pipe:[123]", "socket:[45]", "/dev/null", ...).
struct OpenFd {
  int fd = -1;
  std::string target;
};

// The open descriptors of `pid` (0: this process), in ascending order. For
// this process, the descriptor used to read the listing is left out.
std::vector<OpenFd> openFds(pid_t pid = 0);
// The descriptor numbers only.
std::vector<int> openFdNumbers(pid_t pid = 0);

// One process as /proc/<pid>/stat and /proc/<pid>/status describe it.
struct ProcessEntry {
  pid_t pid = -1;
  pid_t ppid = -1;
  pid_t pgid = -1;
  pid_t sid = -1;
  uid_t ruid = 0;
  uid_t euid = 0;
  gid_t rgid = 0;
  gid_t egid = 0;
  char state = '?';  // R, S, D, Z (zombie), T, ...
  std::string comm;  // the name the kernel keeps (at most 15 bytes)
  bool zombie() const { return state == 'Z'; }
};

// Every process visible in /proc (processes that vanish during the scan are skipped).
std::vector<ProcessEntry> listProcesses();
// One process; nullopt when it does not exist (a zombie still exists).
std::optional<ProcessEntry> processInfo(pid_t pid);
std::vector<ProcessEntry> childrenOf(pid_t parent);
// Children, their children and so on (not `root` itself).
std::vector<ProcessEntry> descendantsOf(pid_t root);
std::vector<ProcessEntry> zombieChildrenOf(pid_t parent);
// Processes whose real or effective user id is `uid`.
std::vector<ProcessEntry> processesOfUid(uid_t uid);
// Processes with a descriptor whose target text equals `target`, such as
// "pipe:[123]". This process is left out.
std::vector<pid_t> processesHolding(const std::string& target);
// The target text of descriptor `fd` of this process ("" when not open).
std::string fdTarget(int fd);

// The harness's pid of the process that has pid `nsPid` in the PID namespace
// whose init has the harness's pid `nsInit`; -1 when there is none.
pid_t hostPidInNamespace(pid_t nsInit, pid_t nsPid);

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_PROC_SCAN_H
