// The job's cgroup.
#include "app/job/sdorq_cgroup.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

namespace {

constexpr char kMountInfo[] = "/proc/self/mountinfo";
constexpr char kUnifiedType[] = "cgroup2";
constexpr char kUserAttribute[] = "trusted.dorq.user";
constexpr mode_t kCgroupMode = 0755;
// What is read of a small cgroup or /proc file.
constexpr size_t kSmallFile = 4096;
// How long the end of a job waits for its cgroup to empty, in milliseconds.
constexpr int kEmptyWaitMs = 1000;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int64_t kBytesPerKilobyte = 1024;

// Reads from fd into buf until it is full (less a byte for the terminator)
// or the file ends; the new length.
size_t readInto(int fd, char* buf, size_t size, size_t length) {
  while (length + 1 < size) {
    const ssize_t got = read(fd, buf + length, size - 1 - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    length += static_cast<size_t>(got);
  }
  return length;
}

// Reads name (below dir, or an absolute path with dir -1) into buf,
// terminated; the length, or -1.
ssize_t readSmall(int dir, const char* name, char* buf, size_t size) {
  const UniqueFd fd(dir >= 0 ? openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW)
                             : open(name, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return -1;
  }
  const size_t length = readInto(fd.get(), buf, size, 0);
  buf[length] = '\0';
  return static_cast<ssize_t>(length);
}

// Reads name below dir (or an absolute path with dir -1) in one read into
// text, terminated; the length, or -1. For the cgroup files and
// /proc/PID/cgroup, which the kernel makes whole in one go, so that a read
// with room for the file returns all of it: one that fills text is too long
// and refused.
ssize_t readWhole(int dir, const char* name, char (&text)[kSmallFile]) {
  const UniqueFd fd(dir >= 0 ? openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW)
                             : open(name, O_RDONLY | O_CLOEXEC));
  ssize_t got = -1;
  do {
    got = fd.valid() ? read(fd.get(), text, sizeof text) : -1;
  } while (got < 0 && errno == EINTR);
  if (got < 0 || static_cast<size_t>(got) == sizeof text) {
    text[0] = '\0';
    return -1;
  }
  text[got] = '\0';
  return got;
}

// Writes text to name below dir; false with errno set when it could not.
// Async-signal-safe.
bool writeSmall(int dir, const char* name, const char* text, size_t length) {
  const int fd = openat(dir, name, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return false;
  }
  const bool written = write(fd, text, length) == static_cast<ssize_t>(length);
  const int error = errno;
  close(fd);
  errno = error;
  return written;
}

// Undoes the octal escapes (\040 for a space) mountinfo writes in a path.
void unescapeMountPath(char* path) {
  char* out = path;
  for (const char* in = path; *in != '\0'; ++out) {
    if (in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
        in[3] >= '0' && in[3] <= '7') {
      *out = static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + (in[3] - '0'));
      in += 4;
    } else {
      *out = *in++;
    }
  }
  *out = '\0';
}

// Splits a line at spaces into fields, in place; the count.
constexpr int kMaxFields = 64;
int splitFields(char* line, char* (&fields)[kMaxFields]) {
  int count = 0;
  char* save = nullptr;
  for (char* token = strtok_r(line, " \n", &save); token != nullptr && count < kMaxFields;
       token = strtok_r(nullptr, " \n", &save)) {
    fields[count++] = token;
  }
  return count;
}

// The mount point of a mountinfo line when it mounts the whole unified
// hierarchy (type cgroup2, root "/"), else null. Fields: id, parent,
// major:minor, root, mount point, options, optional fields, "-", type, ...
char* unifiedMountPoint(char* line) {
  char* fields[kMaxFields];
  const int count = splitFields(line, fields);
  constexpr int kRoot = 3;
  constexpr int kMountPoint = 4;
  constexpr int kFirstOptional = 6;
  for (int i = kFirstOptional; i + 1 < count; ++i) {
    if (strcmp(fields[i], "-") == 0) {
      return strcmp(fields[i + 1], kUnifiedType) == 0 && strcmp(fields[kRoot], "/") == 0
                 ? fields[kMountPoint]
                 : nullptr;
    }
  }
  return nullptr;
}

}  // namespace

// mountinfo is read a piece at a time and each whole line looked at as it
// comes, so that no buffer has to hold the whole file.
bool sdorqFindUnifiedMount(int fd, char (&out)[kCgroupPathMax]) {
  char piece[kMountInfoPiece];
  size_t held = 0;        // the start of a line, from the last read
  bool skipping = false;  // the rest of a line longer than a piece
  bool found = false;
  for (;;) {
    const ssize_t got = read(fd, piece + held, sizeof piece - 1 - held);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return found;  // the kernel ends every line: nothing held is whole
    }
    const size_t length = held + static_cast<size_t>(got);
    size_t start = 0;
    for (char* end = nullptr;
         (end = static_cast<char*>(memchr(piece + start, '\n', length - start))) != nullptr;
         start = static_cast<size_t>(end - piece) + 1) {
      *end = '\0';
      char* point = skipping ? nullptr : unifiedMountPoint(piece + start);
      skipping = false;
      if (point != nullptr && strlen(point) < sizeof out) {
        unescapeMountPath(point);
        memcpy(out, point, strlen(point) + 1);
        found = true;
      }
    }
    held = length - start;
    if (held == sizeof piece - 1) {
      skipping = true;
      held = 0;
    } else {
      memmove(piece, piece + start, held);
    }
  }
}

namespace {

// A directory counts only when the file system found there now is cgroup2:
// a mount over it hides it.
UniqueFd openIfUnified(const char* path) {
  UniqueFd dir(open(path, kDirFlags));
  struct statfs fs {};
  if (!dir.valid() || fstatfs(dir.get(), &fs) != 0 ||
      static_cast<unsigned long>(fs.f_type) != CGROUP2_SUPER_MAGIC) {
    dir.reset();
  }
  return dir;
}

// Where the unified hierarchy is mounted on hosts with it alone, and beside
// the others on hybrid ones: the first cgroup2 file system there.
constexpr const char* kUsualPlaces[] = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};

UniqueFd openUsualRoot() {
  for (const char* place : kUsualPlaces) {
    if (UniqueFd root = openIfUnified(place); root.valid()) {
      return root;
    }
  }
  return UniqueFd();
}

// The root of the last mount of the whole unified hierarchy in mountinfo.
UniqueFd openMountedRoot() {
  const UniqueFd info(open(kMountInfo, O_RDONLY | O_CLOEXEC));
  char point[kCgroupPathMax];
  return info.valid() && sdorqFindUnifiedMount(info.get(), point) ? openIfUnified(point)
                                                                  : UniqueFd();
}

// A process's cgroup on the unified hierarchy, from its "0::" line in
// /proc/PID/cgroup (pid 0: dorq's own): the path without its leading "/",
// terminated in out. False when there is none or it does not fit.
bool readCgroupPath(pid_t pid, char (&out)[kCgroupPathMax]) {
  char name[64];
  if (pid == 0) {
    snprintf(name, sizeof name, "/proc/self/cgroup");
  } else {
    snprintf(name, sizeof name, "/proc/%d/cgroup", static_cast<int>(pid));
  }
  char text[kSmallFile];
  if (readWhole(-1, name, text) < 0) {
    return false;
  }
  constexpr std::string_view kUnifiedLine = "0::/";
  const char* at = text;
  while (strncmp(at, kUnifiedLine.data(), kUnifiedLine.size()) != 0) {
    at = strchr(at, '\n');
    if (at == nullptr) {
      return false;
    }
    ++at;
  }
  at += kUnifiedLine.size();
  const size_t length = strcspn(at, "\n");
  if (length >= sizeof out) {
    return false;
  }
  memcpy(out, at, length);
  out[length] = '\0';
  return true;
}

// The directory at path below a hierarchy's root (itself for "").
UniqueFd openBelow(UniqueFd root, const char* path) {
  if (!root.valid() || path[0] == '\0') {
    return root;
  }
  return UniqueFd(openat(root.get(), path, kDirFlags));
}

// Whether the cgroup's processes, as far as one piece of them is read,
// include dorq.
bool holdsSelf(int dir) {
  char procs[kMountInfoPiece];
  if (readSmall(dir, "cgroup.procs", procs, sizeof procs) < 0) {
    return false;
  }
  const long self = getpid();
  for (char* at = procs; *at != '\0';) {
    char* end = nullptr;
    const long pid = strtol(at, &end, 10);
    if (end == at) {
      return false;
    }
    if (pid == self) {
      return true;
    }
    at = end;
  }
  return false;
}

// dorq's own cgroup directory: the one its /proc/self/cgroup path leads to
// from the hierarchy's root, and only when it holds dorq (a cgroup mounted
// over the root's place, or another cgroup namespace's root, would lead
// elsewhere). Found from a usual place, it needs no scan of mountinfo.
UniqueFd openOwnCgroup() {
  char path[kCgroupPathMax];
  if (!readCgroupPath(0, path)) {
    return UniqueFd();
  }
  if (UniqueFd own = openBelow(openUsualRoot(), path); own.valid() && holdsSelf(own.get())) {
    return own;
  }
  UniqueFd own = openBelow(openMountedRoot(), path);
  if (own.valid() && !holdsSelf(own.get())) {
    own.reset();
  }
  return own;
}

void formatUser(uid_t user, char (&text)[16]) {
  snprintf(text, sizeof text, "%u", static_cast<unsigned>(user));
}

// The line "key N" of a flat-keyed cgroup file, or -1.
int64_t keyedValue(const char* text, std::string_view key) {
  for (const char* at = text; at != nullptr && *at != '\0';) {
    if (strncmp(at, key.data(), key.size()) == 0 && at[key.size()] == ' ') {
      return strtoll(at + key.size() + 1, nullptr, 10);
    }
    at = strchr(at, '\n');
    at = at != nullptr ? at + 1 : nullptr;
  }
  return -1;
}

// Waits until cgroup.events says "populated 0", at most kEmptyWaitMs.
bool awaitEmpty(int dir) {
  const UniqueFd events(openat(dir, "cgroup.events", O_RDONLY | O_CLOEXEC));
  if (!events.valid()) {
    return false;
  }
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    char text[kSmallFile];
    const ssize_t got = pread(events.get(), text, sizeof text - 1, 0);
    if (got < 0) {
      return false;
    }
    text[got] = '\0';
    if (keyedValue(text, "populated") == 0) {
      return true;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t spent =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (spent >= kEmptyWaitMs) {
      return false;
    }
    // The kernel wakes a poll on the file with POLLPRI when it changes.
    pollfd watch{events.get(), POLLPRI, 0};
    (void)poll(&watch, 1, static_cast<int>(kEmptyWaitMs - spent));
  }
}

// Without cgroup.kill (before Linux 5.14): freeze, signal each process, thaw.
bool killFrozen(int dir) {
  if (!writeSmall(dir, "cgroup.freeze", "1", 1)) {
    return false;
  }
  char procs[kSmallFile * 4];
  const bool read = readSmall(dir, "cgroup.procs", procs, sizeof procs) >= 0;
  for (char* at = procs; read && *at != '\0';) {
    char* end = nullptr;
    const long pid = strtol(at, &end, 10);
    if (end == at) {
      break;
    }
    if (pid > 0) {
      (void)kill(static_cast<pid_t>(pid), SIGKILL);
    }
    at = end;
  }
  (void)writeSmall(dir, "cgroup.freeze", "0", 1);
  return read;
}

// What the job used: CPU time from cpu.stat, which counts every process of
// the cgroup; the memory peak where the memory controller gives one.
void readUsage(int dir, JobUsage* usage) {
  char text[kSmallFile];
  if (readWhole(dir, "cpu.stat", text) > 0) {
    const int64_t user = keyedValue(text, "user_usec");
    const int64_t system = keyedValue(text, "system_usec");
    if (user >= 0 && system >= 0) {
      usage->known = true;
      usage->userMicroseconds = user;
      usage->systemMicroseconds = system;
    }
  }
  if (readWhole(dir, "memory.peak", text) > 0) {
    usage->memoryPeakKilobytes = strtoll(text, nullptr, 10) / kBytesPerKilobyte;
  }
}

// Removes the job's cgroup; false with errno set (EBUSY while processes are
// in it) when it could not.
bool removeCgroup(const JobCgroup& cgroup) {
  return unlinkat(cgroup.parent.get(), cgroup.name, AT_REMOVEDIR) == 0;
}

bool killAll(int dir) {
  if (writeSmall(dir, "cgroup.kill", "1", 1)) {
    return true;
  }
  return errno == ENOENT && killFrozen(dir);
}

}  // namespace

bool sdorqMakeJobCgroup(uid_t user, JobCgroup* cgroup, const char** reason) {
  cgroup->parent = openOwnCgroup();
  if (!cgroup->parent.valid()) {
    *reason = "no unified hierarchy";
    return false;
  }
  // dorq's pid and a random part: pids repeat across PID namespaces.
  uint32_t random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    *reason = "no random bytes";
    return false;
  }
  snprintf(cgroup->name, sizeof cgroup->name, "%s%d.%08x", kJobCgroupPrefix,
           static_cast<int>(getpid()), random);
  const int parent = cgroup->parent.get();
  if (mkdirat(parent, cgroup->name, kCgroupMode) != 0) {
    *reason = "not permitted";
    return false;
  }
  cgroup->dir.reset(openat(parent, cgroup->name, kDirFlags));
  char text[16];
  formatUser(user, text);
  if (!cgroup->dir.valid() ||
      fsetxattr(cgroup->dir.get(), kUserAttribute, text, strlen(text), 0) != 0) {
    cgroup->dir.reset();
    (void)unlinkat(parent, cgroup->name, AT_REMOVEDIR);
    *reason = "not permitted";
    return false;
  }
  return true;
}

bool sdorqKillJobCgroup(const JobCgroup& cgroup) {
  return cgroup.dir.valid() && killAll(cgroup.dir.get());
}

void sdorqEndJobCgroup(JobCgroup* cgroup, JobUsage* usage) {
  if (!cgroup->dir.valid()) {
    return;
  }
  const int dir = cgroup->dir.get();
  // Mostly the job has left nothing behind: its usage is read and the
  // cgroup removed at once. A removal that finds processes still there
  // kills them, and once all have ended reads the usage again, so that it
  // counts every process of the job.
  readUsage(dir, usage);
  if (!removeCgroup(*cgroup) && errno == EBUSY) {
    (void)killAll(dir);
    (void)awaitEmpty(dir);
    readUsage(dir, usage);
    (void)removeCgroup(*cgroup);
  }
  cgroup->dir.reset();
}

CgroupKill sdorqKillJobCgroupOf(pid_t pid, uid_t user, int* error) {
  char own[kCgroupPathMax];
  char target[kCgroupPathMax];
  if (!readCgroupPath(0, own) || !readCgroupPath(pid, target)) {
    return CgroupKill::NotAJob;
  }
  // The target's cgroup must be a job cgroup right below dorq's own.
  const size_t ownLength = strlen(own);
  const char* name = target;
  if (ownLength > 0) {
    if (strncmp(target, own, ownLength) != 0 || target[ownLength] != '/') {
      return CgroupKill::NotAJob;
    }
    name = target + ownLength + 1;
  }
  if (strncmp(name, kJobCgroupPrefix, strlen(kJobCgroupPrefix)) != 0 ||
      strchr(name, '/') != nullptr) {
    return CgroupKill::NotAJob;
  }
  const UniqueFd parent = openOwnCgroup();
  const UniqueFd dir(parent.valid() ? openat(parent.get(), name, kDirFlags) : -1);
  char recorded[16] = {};
  char wanted[16];
  formatUser(user, wanted);
  struct stat status {};
  if (!dir.valid() || fstat(dir.get(), &status) != 0 || status.st_uid != 0 ||
      fgetxattr(dir.get(), kUserAttribute, recorded, sizeof recorded - 1) < 0 ||
      strcmp(recorded, wanted) != 0) {
    return CgroupKill::NotAJob;
  }
  if (!killAll(dir.get())) {
    *error = errno;
    return CgroupKill::Failed;
  }
  return CgroupKill::Killed;
}
