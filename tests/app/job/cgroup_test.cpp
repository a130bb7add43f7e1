// Finding the unified hierarchy in mountinfo text, which dorq reads a piece at a time: lines that
// cross a piece's end, a line longer than a piece, escapes, and mounts that do not count. The
// end-to-end tests see only this host's short mountinfo.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "app/job/sdorq_cgroup.h"
#include "gtest/gtest.h"

namespace {

std::string line(const std::string& root, const std::string& point, const std::string& type) {
  return "41 31 0:38 " + root + " " + point + " rw,relatime shared:9 - " + type + " " + type +
         " rw\n";
}
// Lines of other mounts, bytes in all.
std::string filler(size_t bytes) {
  const size_t bare = line("/", "/", "tmpfs").size();
  constexpr size_t kLine = 100;
  std::string text;
  while (bytes - text.size() >= bare + kLine + bare) {
    text += line("/", "/" + std::string(kLine, 'f'), "tmpfs");
  }
  return text + line("/", "/" + std::string(bytes - text.size() - bare, 'g'), "tmpfs");
}

// What the scan finds in text ("" for nothing), read from a file.
std::string find(const std::string& text) {
  const int fd = memfd_create("mountinfo", MFD_CLOEXEC);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  lseek(fd, 0, SEEK_SET);
  char out[kCgroupPathMax];
  const bool found = sdorqFindUnifiedMount(fd, out);
  close(fd);
  return found ? out : "";
}

TEST(UnifiedMount, FoundWhereverItsLineFalls) {
  const std::string unified = line("/", "/sys/fs/cgroup/unified", "cgroup2");
  const size_t length = unified.size();
  struct Case {
    const char* what;
    std::string text;
    std::string want;
  } cases[] = {
      {"alone", unified, "/sys/fs/cgroup/unified"},
      {"the last of two", line("/", "/a", "cgroup2") + unified, "/sys/fs/cgroup/unified"},
      {"escaped", line("/", "/a\\040b\\134c", "cgroup2"), "/a b\\c"},
      {"a bind mount of a cgroup below", line("/job", "/a", "cgroup2"), ""},
      {"other types", line("/", "/a", "cgroup") + line("/", "/b", "tmpfs"), ""},
      {"ending the first piece", filler(kMountInfoPiece - 1 - length) + unified,
       "/sys/fs/cgroup/unified"},
      {"across the first piece's end", filler(kMountInfoPiece - length / 2) + unified,
       "/sys/fs/cgroup/unified"},
      {"starting the second piece", filler(kMountInfoPiece - 1) + unified,
       "/sys/fs/cgroup/unified"},
      {"after a line longer than a piece",
       line("/", "/" + std::string(kMountInfoPiece, 'l'), "cgroup2") + unified,
       "/sys/fs/cgroup/unified"},
      // Its end alone would read as a line of its own.
      {"only in a line longer than a piece",
       std::string(2 * kMountInfoPiece, '1') + line("/", "/tail", "cgroup2").substr(2), ""},
      {"with no newline", unified.substr(0, length - 1), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find(c.text), c.want) << c.what;
  }
}

}  // namespace
