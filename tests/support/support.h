// What the unit tests share: temporary trees and files, private mount
// namespaces, descriptor and leak counts, pattern-filled objects, and the rule
// that a test needing root fails, not skips, when CI=true.
#ifndef DORQ_TESTS_SUPPORT_SUPPORT_H
#define DORQ_TESTS_SUPPORT_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace dorq_test {

void removeTree(const std::string& path);  // links unfollowed

// A private temporary directory (mode 0755), removed with everything below it.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { removeTree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes text to path (created or truncated) with the mode; reads a whole file ("" if it can't).
void writeFile(const std::string& path, const std::string& text, unsigned mode = 0644);
std::string readFile(const std::string& path);
// Descriptors open in this process; whether the sanitizer build sees a leak.
int openDescriptors();
bool leaked();
// As `unshare -m --propagation private`; a bind mount; a tmpfs (0755, set-user-ID allowed).
bool enterPrivateMountNamespace();
bool bindMount(const std::string& source, const std::string& target);
bool mountTmpfs(const std::string& dir);

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
