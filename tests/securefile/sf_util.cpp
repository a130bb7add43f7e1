#include "tests/securefile/sf_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/fault_injection.h"
#include "tests/support/private_ns.h"

#if defined(__SANITIZE_ADDRESS__)
#define SF_HAVE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SF_HAVE_LSAN 1
#endif
#endif
#ifdef SF_HAVE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace sf_test {

bool enterSecureTmp() {
  static const bool done = [] {
    if (geteuid() != 0 || !dorq_test::enterPrivateMountNamespace() ||
        !dorq_test::mountTmpfs("/tmp")) {
      return false;
    }
    return chown("/tmp", 0, 0) == 0 && chmod("/tmp", 0755) == 0;
  }();
  return done;
}

void makeDir(const std::string& path, mode_t mode, uid_t owner) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(owner)), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void makeLink(const std::string& text, const std::string& path, uid_t owner) {
  ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(lchown(path.c_str(), owner, static_cast<gid_t>(owner)), 0) << path;
}

slosErrRec patternRecord() {
  slosErrRec record;
  memset(&record, 0x5A, sizeof record);
  return record;
}

bool sameBytes(const slosErrRec& a, const slosErrRec& b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

::testing::AssertionResult filledAs(const slosErrRec& record, const Fill& expected) {
  if (record.code == expected.code && record.osError == expected.osError &&
      strcmp(record.message, expected.message) == 0 &&
      strcmp(record.routine, expected.routine) == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "record (" << record.code << ", " << record.osError << ", \"" << record.message
         << "\", \"" << record.routine << "\"), expected (" << expected.code << ", "
         << expected.osError << ", \"" << expected.message << "\", \"" << expected.routine << "\")";
}

std::string makeDeepDir(const std::string& base, size_t length) {
  std::string dir = base;
  if (length < base.size() + 250) {
    ADD_FAILURE() << "deep directory too short";
    return dir;
  }
  while (length - dir.size() > 250) {
    dir += "/" + std::string(200, 'd');
    mkdir(dir.c_str(), 0755);
  }
  dir += "/" + std::string(length - dir.size() - 1, 'e');
  EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  return dir;
}

ScopedCwd::ScopedCwd(const std::string& dir)
    : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  EXPECT_EQ(chdir(dir.c_str()), 0) << dir << ": " << strerror(errno);
}

ScopedCwd::~ScopedCwd() {
  EXPECT_EQ(fchdir(saved_), 0);
  close(saved_);
}

void HandleCloser::operator()(SlfFile* handle) const {
  slosErrRec record = patternRecord();
  EXPECT_EQ(SlfFclose(handle, &record, 0), 0);
}

namespace {

using OpenCall = SlfFile* (*)(const char*, const char*, int32_t, int32_t, int32_t, slosErrRec*,
                              int32_t);

Opened openWith(OpenCall call, const std::string& name, const char* dir, int32_t access,
                int32_t flags, int32_t kind, int32_t vfsFlags) {
  Opened out{nullptr, patternRecord()};
  out.handle.reset(call(name.c_str(), dir, access, flags, kind, &out.record, vfsFlags));
  if (out.handle) {
    EXPECT_TRUE(sameBytes(out.record, patternRecord())) << "a successful open wrote the record";
  }
  return out;
}

}  // namespace

Opened guardedOpen(const std::string& name, const char* dir, int32_t access, int32_t flags,
                   int32_t kind, int32_t vfsFlags) {
  return openWith(SlfFopen2, name, dir, access, flags, kind, vfsFlags);
}

Opened plainOpen(const std::string& name, const char* dir, int32_t access, int32_t flags,
                 int32_t kind, int32_t vfsFlags) {
  return openWith(SlfFopen, name, dir, access, flags, kind, vfsFlags);
}

void FileTest::SetUp() {
  if (geteuid() == 0) {
    ASSERT_TRUE(enterSecureTmp());
  }
  base_ = std::make_unique<dorq_test::TempDir>("/tmp");
}

void FileTest::TearDown() {
  dorq_test::resetFaults();
}

const std::string& FileTest::base() const {
  return base_->path();
}

// Reads /proc/self/fd with getdents64 directly: opendir would fstat, which
// some tests have made fail.
int openDescriptors() {
  const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    ADD_FAILURE() << "cannot list descriptors: " << strerror(errno);
    return -1;
  }
  int count = 0;
  alignas(8) char buf[4096];
  for (;;) {
    const long got = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (got <= 0) {
      break;
    }
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buf + at);
      if (entry->d_name[0] != '.') {
        ++count;
      }
      at += entry->d_reclen;
    }
  }
  close(dir);
  return count - 1;  // the listing's own descriptor
}

bool childLeaks() {
#ifdef SF_HAVE_LSAN
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

bool runChild(const std::function<void(int fd)>& body, void* out, size_t size) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    body(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  size_t got = 0;
  while (pid > 0 && got < size) {
    const ssize_t n = read(fds[0], static_cast<char*>(out) + got, size - got);
    if (n <= 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  if (pid > 0) {
    waitpid(pid, &status, 0);
  }
  if (pid < 0 || got != size || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child did not report (status " << status << ", " << got << " bytes)";
    return false;
  }
  return true;
}

}  // namespace sf_test
