#include "tests/harness/proc_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <set>
#include <string_view>

#include "port/unique_fd.h"

namespace dorq_test {
namespace {

std::string readProcFile(const std::string& path) {
  std::string text;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return text;
  }
  char chunk[4096];
  while (true) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n <= 0) {
      return text;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}

std::string readLinkText(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

// Parses the leading decimal number of `text`; false when there is none.
template <typename Int>
bool parseNumber(std::string_view text, Int* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end != text.data();
}

std::vector<std::string_view> splitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
      ++pos;
    }
    const size_t start = pos;
    while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t') {
      ++pos;
    }
    if (pos > start) {
      fields.push_back(text.substr(start, pos - start));
    }
  }
  return fields;
}

// The fields after "Name:" on that line of a /proc/<pid>/status text.
std::vector<std::string_view> statusLine(std::string_view status, std::string_view name) {
  size_t pos = 0;
  while (pos < status.size()) {
    size_t end = status.find('\n', pos);
    if (end == std::string_view::npos) {
      end = status.size();
    }
    const std::string_view line = status.substr(pos, end - pos);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == ':') {
      return splitFields(line.substr(name.size() + 1));
    }
    pos = end + 1;
  }
  return {};
}

// Fills `entry` from /proc/<pid>/stat: "pid (comm) state ppid pgrp session ...";
// comm may hold spaces and parentheses, so the fields start after its last ')'.
bool parseStat(pid_t pid, ProcessEntry* entry) {
  const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return false;
  }
  const std::vector<std::string_view> fields =
      splitFields(std::string_view(stat).substr(close + 1));
  constexpr size_t kFieldsNeeded = 4;  // state, ppid, pgrp, session
  if (fields.size() < kFieldsNeeded || fields[0].empty()) {
    return false;
  }
  entry->pid = pid;
  entry->comm = stat.substr(open + 1, close - open - 1);
  entry->state = fields[0][0];
  return parseNumber(fields[1], &entry->ppid) && parseNumber(fields[2], &entry->pgid) &&
         parseNumber(fields[3], &entry->sid);
}

bool parseIds(pid_t pid, ProcessEntry* entry) {
  const std::string status = readProcFile("/proc/" + std::to_string(pid) + "/status");
  const std::vector<std::string_view> uids = statusLine(status, "Uid");
  const std::vector<std::string_view> gids = statusLine(status, "Gid");
  return uids.size() >= 2 && gids.size() >= 2 && parseNumber(uids[0], &entry->ruid) &&
         parseNumber(uids[1], &entry->euid) && parseNumber(gids[0], &entry->rgid) &&
         parseNumber(gids[1], &entry->egid);
}

std::vector<pid_t> listPids() {
  std::vector<pid_t> pids;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) {
    return pids;
  }
  while (const dirent* entry = readdir(dir)) {
    pid_t pid = 0;
    const std::string_view name(entry->d_name);
    if (parseNumber(name, &pid) && std::to_string(pid) == name) {
      pids.push_back(pid);
    }
  }
  closedir(dir);
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace

std::vector<OpenFd> openFds(pid_t pid) {
  std::vector<OpenFd> fds;
  const std::string dirPath = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) {
    return fds;
  }
  const int ownFd = pid == 0 ? dirfd(dir) : -1;
  while (const dirent* entry = readdir(dir)) {
    int fd = -1;
    if (!parseNumber(std::string_view(entry->d_name), &fd) || fd == ownFd) {
      continue;
    }
    fds.push_back({fd, readLinkText(dirPath + "/" + entry->d_name)});
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end(), [](const OpenFd& a, const OpenFd& b) { return a.fd < b.fd; });
  return fds;
}

std::vector<int> openFdNumbers(pid_t pid) {
  std::vector<int> numbers;
  for (const OpenFd& fd : openFds(pid)) {
    numbers.push_back(fd.fd);
  }
  return numbers;
}

std::optional<ProcessEntry> processInfo(pid_t pid) {
  ProcessEntry entry;
  if (!parseStat(pid, &entry) || !parseIds(pid, &entry)) {
    return std::nullopt;
  }
  return entry;
}

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> processes;
  for (const pid_t pid : listPids()) {
    if (std::optional<ProcessEntry> entry = processInfo(pid)) {
      processes.push_back(*entry);
    }
  }
  return processes;
}

std::vector<ProcessEntry> childrenOf(pid_t parent) {
  std::vector<ProcessEntry> children;
  for (const ProcessEntry& entry : listProcesses()) {
    if (entry.ppid == parent) {
      children.push_back(entry);
    }
  }
  return children;
}

std::vector<ProcessEntry> descendantsOf(pid_t root) {
  const std::vector<ProcessEntry> all = listProcesses();
  std::set<pid_t> inTree{root};
  std::vector<ProcessEntry> found;
  // A parent can have a larger pid than its child once pids wrap, so repeat
  // until a pass adds nothing.
  bool grew = true;
  while (grew) {
    grew = false;
    for (const ProcessEntry& entry : all) {
      if (inTree.count(entry.ppid) != 0 && inTree.insert(entry.pid).second) {
        found.push_back(entry);
        grew = true;
      }
    }
  }
  return found;
}

std::vector<ProcessEntry> zombieChildrenOf(pid_t parent) {
  std::vector<ProcessEntry> zombies;
  for (const ProcessEntry& entry : childrenOf(parent)) {
    if (entry.zombie()) {
      zombies.push_back(entry);
    }
  }
  return zombies;
}

std::vector<ProcessEntry> processesOfUid(uid_t uid) {
  std::vector<ProcessEntry> owned;
  for (const ProcessEntry& entry : listProcesses()) {
    if (entry.ruid == uid || entry.euid == uid) {
      owned.push_back(entry);
    }
  }
  return owned;
}

std::vector<pid_t> processesHolding(const std::string& target) {
  std::vector<pid_t> holders;
  const pid_t self = getpid();
  for (const pid_t pid : listPids()) {
    if (pid == self) {
      continue;
    }
    for (const OpenFd& fd : openFds(pid)) {
      if (fd.target == target) {
        holders.push_back(pid);
        break;
      }
    }
  }
  return holders;
}

std::string fdTarget(int fd) {
  return readLinkText("/proc/self/fd/" + std::to_string(fd));
}

pid_t hostPidInNamespace(pid_t nsInit, pid_t nsPid) {
  if (nsPid == 1) {
    return nsInit;
  }
  const std::string nsLink = readLinkText("/proc/" + std::to_string(nsInit) + "/ns/pid");
  if (nsLink.empty()) {
    return -1;
  }
  for (const pid_t pid : listPids()) {
    if (readLinkText("/proc/" + std::to_string(pid) + "/ns/pid") != nsLink) {
      continue;
    }
    // NSpid lists the pid in every namespace from ours down to its own.
    const std::string status = readProcFile("/proc/" + std::to_string(pid) + "/status");
    const std::vector<std::string_view> ids = statusLine(status, "NSpid");
    pid_t innermost = -1;
    if (!ids.empty() && parseNumber(ids.back(), &innermost) && innermost == nsPid) {
      return pid;
    }
  }
  return -1;
}

}  // namespace dorq_test
