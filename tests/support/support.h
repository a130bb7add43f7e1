// What the unit tests share: temporary trees and files, private mount namespaces, descriptor and
// leak counts, pattern-filled objects, and the rule that a root test fails, not skips, if CI=true.
#ifndef DORQ_TESTS_SUPPORT_SUPPORT_H
#define DORQ_TESTS_SUPPORT_SUPPORT_H

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

// Present only in the sanitizer build.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace dorq_test {

inline void removeTree(const std::string& path) {  // links unfollowed
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// A private temporary directory (mode 0755), removed with everything below it.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp") : path_(base + "/dorq-test-XXXXXX") {
    if (mkdtemp(path_.data()) == nullptr || chmod(path_.c_str(), 0755) != 0) {
      ADD_FAILURE() << "mkdtemp failed below " << base;
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { removeTree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes text to path (created or truncated) with the mode; reads a whole file ("" if it can't).
inline void writeFile(const std::string& path, const std::string& text, unsigned mode = 0644) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << text).flush() || chmod(path.c_str(), mode) != 0) {
    ADD_FAILURE() << "cannot write " << path;
  }
}
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// Descriptors open in this process; whether the sanitizer build sees a leak.
inline int openDescriptors() {
  const auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}
inline bool leaked() {
  return __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0;
}
// As `unshare -m --propagation private`; a bind mount; a tmpfs (0755, set-user-ID allowed).
inline bool enterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
inline bool bindMount(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}
inline bool mountTmpfs(const std::string& dir) {
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

// Pattern bytes in an object show whether a call wrote into it.
template <typename T>
T patterned() {
  T object;
  memset(&object, 0x5A, sizeof object);
  return object;
}
template <typename T>
bool untouched(const T& object) {
  const std::string_view bytes(reinterpret_cast<const char*>(&object), sizeof object);
  return bytes.find_first_not_of('\x5A') == std::string_view::npos;
}

}  // namespace dorq_test

#define DORQ_REQUIRE_ROOT()                                                                     \
  do {                                                                                          \
    if (geteuid() != 0) {                                                                       \
      ASSERT_STRNE(getenv("CI"), "true") << "this test needs root, and CI=true forbids a skip"; \
      GTEST_SKIP() << "this test needs root";                                                   \
    }                                                                                           \
  } while (0)

#endif  // DORQ_TESTS_SUPPORT_SUPPORT_H
