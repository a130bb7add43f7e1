// The wrappers behave exactly as the C library calls they forward to, and in
// a binary that does not replace them every alias is the wrapper itself.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "port/ss_wrappers.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::TempDir;
using dorq_test::writeFile;

template <typename F>
void* address(F* function) {
  return reinterpret_cast<void*>(function);
}

TEST(PortSeam, WithoutAReplacementEveryAliasIsTheWrapper) {
  EXPECT_EQ(address(&ssMemMalloc), address(&ss_mem_walc));
  EXPECT_EQ(address(&ssMemFree), address(&ss_mem_wfre));
  EXPECT_EQ(address(&ssMemCalloc), address(&ss_mem_wcalloc));
  EXPECT_EQ(address(&ssMemStrdup), address(&ss_mem_wstrdup));
  EXPECT_EQ(address(&ssOswFopen), address(&ss_osw_wfopen));
  EXPECT_EQ(address(&ssOswFclose), address(&ss_osw_wfclose));
  EXPECT_EQ(address(&ssOswFdopen), address(&ss_osw_wfdopen));
  EXPECT_EQ(address(&ssOswOpen), address(&ss_osw_wopen));
  EXPECT_EQ(address(&ssOswPthread_mutex_lock), address(&ss_osw_wpthread_mutex_lock));
  EXPECT_EQ(address(&ssOswPthread_mutex_unlock), address(&ss_osw_wpthread_mutex_unlock));
}

// What a call reported: success, or failure with errno.
struct Outcome {
  bool ok;
  int error;
  bool operator==(const Outcome& other) const {
    return ok == other.ok && (ok || error == other.error);
  }
};

Outcome fromPointer(const void* result) {
  return {result != nullptr, result ? 0 : errno};
}
Outcome fromDescriptor(int fd) {
  return {fd >= 0, fd >= 0 ? 0 : errno};
}

struct StreamCase {
  const char* name;
  // Runs the call once through the wrapper (true) or the C library (false)
  // in a fresh directory, releasing whatever it got.
  Outcome (*run)(const TempDir& dir, bool wrapped);
  Outcome expected;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const StreamCase& c, std::ostream* os) {
  *os << c.name;
}

Outcome openStream(const std::string& path, const char* mode, bool wrapped) {
  errno = 0;
  FILE* stream = wrapped ? ssOswFopen(path.c_str(), mode) : fopen(path.c_str(), mode);
  const Outcome outcome = fromPointer(stream);
  if (stream != nullptr) {
    EXPECT_EQ(wrapped ? ssOswFclose(stream) : fclose(stream), 0);
  }
  return outcome;
}

Outcome openFd(const std::string& path, int flags, int mode, bool wrapped) {
  errno = 0;
  const int fd = wrapped ? ssOswOpen(path.c_str(), flags, mode)
                         : open(path.c_str(), flags, static_cast<mode_t>(mode));
  const Outcome outcome = fromDescriptor(fd);
  if (fd >= 0) {
    close(fd);
  }
  return outcome;
}

Outcome streamFromFd(int fd, const char* mode, bool wrapped) {
  errno = 0;
  FILE* stream = wrapped ? ssOswFdopen(fd, mode) : fdopen(fd, mode);
  const Outcome outcome = fromPointer(stream);
  if (stream != nullptr) {
    fclose(stream);
  } else if (fd >= 0) {
    close(fd);
  }
  return outcome;
}

const StreamCase kStreamCases[] = {
    {"FopenMissing",
     [](const TempDir& d, bool w) { return openStream(d / "missing", "r", w); },
     {false, ENOENT}},
    {"FopenExisting",
     [](const TempDir& d, bool w) {
       writeFile(d / "f", "x");
       return openStream(d / "f", "r", w);
     },
     {true, 0}},
    {"FopenDirectoryForWriting",
     [](const TempDir& d, bool w) { return openStream(d.path(), "w", w); },
     {false, EISDIR}},
    {"FopenBadMode",
     [](const TempDir& d, bool w) {
       writeFile(d / "f", "x");
       return openStream(d / "f", "q", w);
     },
     {false, EINVAL}},
    {"OpenMissing",
     [](const TempDir& d, bool w) { return openFd(d / "missing", O_RDONLY, 0, w); },
     {false, ENOENT}},
    {"OpenLinkWithoutFollowing",
     [](const TempDir& d, bool w) {
       writeFile(d / "f", "x");
       symlink((d / "f").c_str(), (d / "l").c_str());
       return openFd(d / "l", O_WRONLY | O_NOFOLLOW, 0, w);
     },
     {false, ELOOP}},
    {"OpenExclusiveExisting",
     [](const TempDir& d, bool w) {
       writeFile(d / "f", "x");
       return openFd(d / "f", O_WRONLY | O_CREAT | O_EXCL, 0644, w);
     },
     {false, EEXIST}},
    {"FdopenBadDescriptor",
     [](const TempDir&, bool w) { return streamFromFd(-1, "w", w); },
     {false, EBADF}},
    {"FdopenModeNotAllowedByDescriptor",
     [](const TempDir& d, bool w) {
       writeFile(d / "f", "x");
       return streamFromFd(open((d / "f").c_str(), O_RDONLY | O_CLOEXEC), "w", w);
     },
     {false, EINVAL}},
};

class PortWrapperStreams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(PortWrapperStreams, ReportLikeTheCLibrary) {
  const TempDir wrappedDir;
  const TempDir directDir;
  const Outcome wrapped = GetParam().run(wrappedDir, true);
  const Outcome direct = GetParam().run(directDir, false);
  EXPECT_TRUE(wrapped == GetParam().expected) << wrapped.ok << " " << strerror(wrapped.error);
  EXPECT_TRUE(direct == GetParam().expected) << direct.ok << " " << strerror(direct.error);
}

INSTANTIATE_TEST_SUITE_P(PortCalls, PortWrapperStreams, ::testing::ValuesIn(kStreamCases),
                         [](const ::testing::TestParamInfo<StreamCase>& info) {
                           return std::string(info.param.name);
                         });

// A created file gets exactly the mode asked for, as reduced by the umask.
TEST(PortWrappers, OpenCreatesWithTheModeReducedByTheUmask) {
  const TempDir dir;
  const mode_t saved = umask(027);
  const int fd = ssOswOpen((dir / "f").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  umask(saved);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  close(fd);
}

// What the stream of ssOswFdopen writes reaches the file by ssOswFclose.
TEST(PortWrappers, FdopenStreamWritesThroughToTheFile) {
  const TempDir dir;
  const int fd = ssOswOpen((dir / "f").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  FILE* stream = ssOswFdopen(fd, "w");
  ASSERT_NE(stream, nullptr);
  fputs("line\n", stream);
  EXPECT_EQ(ssOswFclose(stream), 0);
  EXPECT_EQ(dorq_test::readFile(dir / "f"), "line\n");
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the close released the descriptor";
}

TEST(PortWrappers, MallocOfZeroIsLikeTheCLibrary) {
  void* wrapped = ssMemMalloc(0);
  void* direct = malloc(0);
  EXPECT_EQ(wrapped == nullptr, direct == nullptr);
  ssMemFree(wrapped);
  free(direct);
  ssMemFree(nullptr);  // as free(NULL): nothing happens
}

TEST(PortWrappers, MemoryWrappersAllocateUsableMemory) {
  constexpr size_t kCount = 64;
  auto* zeroed = static_cast<unsigned char*>(ssMemCalloc(kCount, sizeof(unsigned)));
  ASSERT_NE(zeroed, nullptr);
  for (size_t i = 0; i < kCount * sizeof(unsigned); ++i) {
    ASSERT_EQ(zeroed[i], 0U) << i;
  }
  ssMemFree(zeroed);

  const char text[] = "ZANTIX_HOME";
  char* copy = ssMemStrdup(text);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_STREQ(copy, text);
  ssMemFree(copy);

  auto* block = static_cast<char*>(ssMemMalloc(kCount));
  ASSERT_NE(block, nullptr);
  memset(block, 'x', kCount);  // the whole block is ours (the sanitizer checks)
  ssMemFree(block);
}

// The mutex wrappers hand back the error numbers of the calls themselves.
TEST(PortWrappers, MutexWrappersPassResultsOn) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);

  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), EPERM);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), 0);
  EXPECT_EQ(ssOswPthread_mutex_lock(&mutex), EDEADLK);
  EXPECT_EQ(ssOswPthread_mutex_unlock(&mutex), 0);
  pthread_mutex_destroy(&mutex);
}

}  // namespace
