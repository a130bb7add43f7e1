// Helpers of the secure-file tests: a secure base for real directory trees,
// trees with real owners and modes, record comparisons, descriptor counts
// and forked children that report back through a pipe.
#ifndef DORQ_TESTS_SECUREFILE_SF_UTIL_H
#define DORQ_TESTS_SECUREFILE_SF_UTIL_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "securefile/slf_file.h"
#include "securefile/slos_err.h"
#include "tests/support/temp_dir.h"

namespace sf_test {

// Unused ids that own the trees' "other user" parts.
inline constexpr uid_t kUserA = 4321;
inline constexpr uid_t kUserB = 4322;

// Makes /tmp, for this process only, a fresh tmpfs owned by root with mode
// 0755 inside a private mount namespace, so trees below it can be secure.
// Needs root; false when that cannot be done.
bool enterSecureTmp();

// The creating user stays the owner.
inline constexpr uid_t kCreator = static_cast<uid_t>(-1);

// mkdir with exactly this mode (umask aside) and owner.
void makeDir(const std::string& path, mode_t mode, uid_t owner = kCreator);
// A symbolic link at path with the given text, owned by owner.
void makeLink(const std::string& text, const std::string& path, uid_t owner = kCreator);

// A record whose every byte is a pattern, to see whether a call touched it.
slosErrRec patternRecord();
bool sameBytes(const slosErrRec& a, const slosErrRec& b);

struct Fill {
  int32_t code;
  int32_t osError;
  const char* message;
  const char* routine;
};
// The four fields one fill writes.
::testing::AssertionResult filledAs(const slosErrRec& record, const Fill& expected);

// Nested directories below base (components of at most 200 characters)
// making a directory path of exactly `length` characters; at least 250 more
// than base.
std::string makeDeepDir(const std::string& base, size_t length);

// Changes the working directory for the scope of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  ~ScopedCwd();

 private:
  int saved_;
};

// An open handle, closed (and released) through SlfFclose.
struct HandleCloser {
  void operator()(SlfFile* handle) const;
};
using Handle = std::unique_ptr<SlfFile, HandleCloser>;

// An open's handle and the record it was given, which started as
// patternRecord() and must stay so when the open succeeds.
struct Opened {
  Handle handle;
  slosErrRec record;
  FILE* stream() const { return static_cast<FILE*>(handle->stream); }
};
Opened guardedOpen(const std::string& name, const char* dir = nullptr, int32_t access = 0,
                   int32_t flags = 0, int32_t kind = kSlfKindNamed, int32_t vfsFlags = 0);
Opened plainOpen(const std::string& name, const char* dir = nullptr, int32_t access = 0,
                 int32_t flags = 0, int32_t kind = kSlfKindNamed, int32_t vfsFlags = 0);

// A fresh directory for each test: below a secure /tmp when running as root.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& base() const;
  std::string at(const std::string& name) const { return base() + "/" + name; }

 private:
  std::unique_ptr<dorq_test::TempDir> base_;
};

// Descriptors open in this process, counted without opening any.
int openDescriptors();

// LeakSanitizer's verdict in a process that ends by _exit: true when leaks
// were found (always false without the sanitizer).
bool childLeaks();

// Runs body in a forked child and returns what it returned, copied through
// a pipe; nullopt (with a test failure) when the child did not report.
template <class T>
std::optional<T> inChild(const std::function<T()>& body);

// Bytes-through-a-pipe plumbing behind inChild.
bool runChild(const std::function<void(int fd)>& body, void* out, size_t size);

template <class T>
std::optional<T> inChild(const std::function<T()>& body) {
  static_assert(std::is_trivially_copyable_v<T>);
  T result{};
  if (!runChild(
          [&body](int fd) {
            const T value = body();
            (void)!write(fd, &value, sizeof value);
          },
          &result, sizeof result)) {
    return std::nullopt;
  }
  return result;
}

}  // namespace sf_test

#endif  // DORQ_TESTS_SECUREFILE_SF_UTIL_H
