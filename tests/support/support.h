// What the unit tests share: temporary trees and files, private mount
// namespaces, descriptor and leak counts, and the rule that a test needing
// root fails, not skips, when CI=true.
#ifndef DORQ_TESTS_SUPPORT_SUPPORT_H
#define DORQ_TESTS_SUPPORT_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace dorq_test {

// A private temporary directory (mode 0755), removed with everything below it.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes text to path (created or truncated) with the given mode; reads a
// whole file (empty when it cannot be read); removes a tree, links unfollowed.
void writeFile(const std::string& path, const std::string& text, unsigned mode = 0644);
std::string readFile(const std::string& path);
void removeTree(const std::string& path);
// Descriptors open in this process; whether the sanitizer build sees a leak.
int openDescriptors();
bool leaked();
// As `unshare -m --propagation private`; a bind mount; a fresh tmpfs (mode
// 0755, set-user-ID allowed) on dir.
bool enterPrivateMountNamespace();
bool bindMount(const std::string& source, const std::string& target);
bool mountTmpfs(const std::string& dir);

}  // namespace dorq_test

#define DORQ_REQUIRE_ROOT()                                           \
  do {                                                                \
    if (geteuid() != 0) {                                             \
      const char* ci = getenv("CI");                                  \
      if (ci != nullptr && strcmp(ci, "true") == 0) {                 \
        FAIL() << "this test needs root, and CI=true forbids a skip"; \
      }                                                               \
      GTEST_SKIP() << "this test needs root";                         \
    }                                                                 \
  } while (0)

#endif  // DORQ_TESTS_SUPPORT_SUPPORT_H
