// What the unit tests share: temporary trees, files, private mount
// namespaces, and the rule that a test needing root fails, not skips, when
// CI=true.
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

// Writes text to path (created or truncated) with the given mode.
void writeFile(const std::string& path, const std::string& text, unsigned mode = 0644);
// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Removes path and everything below it, without following links.
void removeTree(const std::string& path);

// As `unshare -m --propagation private`, for this process and its children.
bool enterPrivateMountNamespace();
bool bindMount(const std::string& source, const std::string& target);
// A fresh tmpfs (set-user-ID allowed) on dir.
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
