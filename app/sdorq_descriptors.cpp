// Standard descriptors and the inherited set.
#include "app/sdorq_descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bitset>

namespace {

constexpr int kStandardDescriptors = 3;
constexpr char kDevNull[] = "/dev/null";
constexpr char kOwnDescriptors[] = "/proc/self/fd";

// Which descriptors were open when dorq started. Indexed with [] only after
// the descriptor is checked against kTrackedDescriptors: set() and test()
// would check again and bring the C++ exception machinery into the program.
std::bitset<kTrackedDescriptors> inheritedDescriptors;

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Calls visit(fd) for every open descriptor below kTrackedDescriptors: from
// /proc when it is there, else by probing up to the descriptor limit.
template <typename Visit>
void forEachOpenDescriptor(Visit visit) {
  if (DIR* dir = opendir(kOwnDescriptors)) {
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
      char* end = nullptr;
      const long fd = strtol(entry->d_name, &end, 10);
      if (end != entry->d_name && *end == '\0' && fd != own && fd < kTrackedDescriptors) {
        visit(static_cast<int>(fd));
      }
    }
    closedir(dir);
    return;
  }
  rlimit limit{};
  rlim_t highest = kTrackedDescriptors;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < highest) {
    highest = limit.rlim_cur;
  }
  for (int fd = 0; fd < static_cast<int>(highest); ++fd) {
    if (isOpen(fd)) {
      visit(fd);
    }
  }
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
  inheritedDescriptors.reset();
  forEachOpenDescriptor([](int fd) { inheritedDescriptors[static_cast<size_t>(fd)] = true; });
}

void sdorqProtectOwnDescriptors() {
  forEachOpenDescriptor([](int fd) {
    if (!inheritedDescriptors[static_cast<size_t>(fd)]) {
      const int current = fcntl(fd, F_GETFD);
      if (current != -1) {
        fcntl(fd, F_SETFD, current | FD_CLOEXEC);
      }
    }
  });
}

bool sdorqWasInherited(int fd) {
  return fd >= 0 && fd < kTrackedDescriptors && inheritedDescriptors[static_cast<size_t>(fd)];
}
