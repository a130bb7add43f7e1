// Standard descriptors and the inherited set.
#include "app/job/sdorq_descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/close_range.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "port/unique_handle.h"

namespace {

constexpr int kStandardDescriptors = 3;
constexpr char kDevNull[] = "/dev/null";
constexpr char kOwnDescriptors[] = "/proc/self/fd";
constexpr size_t kInitialCapacity = 16;

// The descriptors open when dorq started, sorted; the array grows as needed
// and lives as long as the process.
struct InheritedSet {
  int* fds;
  size_t count;
  size_t capacity;
};
InheritedSet inherited;

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

bool remember(int fd) {
  if (inherited.count == inherited.capacity) {
    const size_t capacity = inherited.capacity == 0 ? kInitialCapacity : 2 * inherited.capacity;
    auto* grown = static_cast<int*>(realloc(inherited.fds, capacity * sizeof(int)));
    if (grown == nullptr) {
      return false;
    }
    inherited.fds = grown;
    inherited.capacity = capacity;
  }
  inherited.fds[inherited.count++] = fd;
  return true;
}

// Calls visit(fd) for every open descriptor, from /proc when it is there;
// false when visit refused one. Without /proc the descriptors below the
// limit are probed: dorq and its modules cannot open one above it, so one
// above it was inherited and stays out of every range marked later.
template <typename Visit>
bool forEachOpenDescriptor(Visit visit) {
  if (const UniqueDir dir(opendir(kOwnDescriptors)); dir.valid()) {
    const int own = dirfd(dir.get());
    bool complete = true;
    while (const dirent* entry = readdir(dir.get())) {
      char* end = nullptr;
      const long fd = strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0' && fd != own && fd >= 0 && fd <= INT_MAX) {
        complete = visit(static_cast<int>(fd)) && complete;
      }
    }
    return complete;
  }
  rlimit limit{};
  const rlim_t highest =
      getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX ? limit.rlim_cur : INT_MAX;
  bool complete = true;
  for (rlim_t fd = 0; fd < highest; ++fd) {
    if (isOpen(static_cast<int>(fd))) {
      complete = visit(static_cast<int>(fd)) && complete;
    }
  }
  return complete;
}

void markCloseOnExec(int fd) {
  const int current = fcntl(fd, F_GETFD);
  if (current != -1) {
    (void)fcntl(fd, F_SETFD, current | FD_CLOEXEC);
  }
}

// Marks [first, last] close-on-exec in one call; false where the kernel
// cannot (before Linux 5.11).
bool markRange(unsigned first, unsigned last) {
  return syscall(SYS_close_range, first, last, CLOSE_RANGE_CLOEXEC) == 0;
}

// Every gap between inherited descriptors, and everything above the last.
bool markGaps() {
  unsigned next = 0;
  for (size_t i = 0; i < inherited.count; ++i) {
    const auto fd = static_cast<unsigned>(inherited.fds[i]);
    if (fd > next && !markRange(next, fd - 1)) {
      return false;
    }
    next = fd + 1;
  }
  return markRange(next, UINT_MAX);
}

}  // namespace

void sdorqOpenStandardDescriptors() {
  for (int fd = 0; fd < kStandardDescriptors; ++fd) {
    if (isOpen(fd)) {
      continue;
    }
    // open returns the lowest free descriptor, which is fd itself.
    const int opened = open(kDevNull, O_RDWR);
    if (opened >= 0 && opened != fd) {
      close(opened);
    }
  }
}

void sdorqRecordInheritedDescriptors() {
  inherited.count = 0;
  // A set cut short by a refused allocation errs on the safe side: the
  // descriptors left out are kept from the job and refused for a pid record.
  (void)forEachOpenDescriptor(remember);
  std::sort(inherited.fds, inherited.fds + inherited.count);
}

void sdorqProtectOwnDescriptors() {
  if (markGaps()) {
    return;
  }
  (void)forEachOpenDescriptor([](int fd) {
    if (!sdorqWasInherited(fd)) {
      markCloseOnExec(fd);
    }
    return true;
  });
}

bool sdorqWasInherited(int fd) {
  return std::binary_search(inherited.fds, inherited.fds + inherited.count, fd);
}
