// A private temporary directory, removed with everything below it.
#ifndef DORQ_TESTS_SUPPORT_TEMP_DIR_H
#define DORQ_TESTS_SUPPORT_TEMP_DIR_H

#include <string>

namespace dorq_test {

class TempDir {
 public:
  // Creates /tmp/dorq-test-XXXXXX (or below base) with mode 0755.
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

}  // namespace dorq_test

#endif  // DORQ_TESTS_SUPPORT_TEMP_DIR_H
