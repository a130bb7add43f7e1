#include "tests/support/support.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

// Present only in the sanitizer build.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace dorq_test {

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}
TempDir::TempDir(const std::string& base) : path_(base + "/dorq-test-XXXXXX") {
  if (mkdtemp(path_.data()) == nullptr || chmod(path_.c_str(), 0755) != 0) {
    throw std::runtime_error("mkdtemp failed below " + base);
  }
}

void writeFile(const std::string& path, const std::string& text, unsigned mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << text).flush() || chmod(path.c_str(), mode) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int openDescriptors() {
  const auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}
bool leaked() {
  return __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0;
}

bool enterPrivateMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
bool bindMount(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}
bool mountTmpfs(const std::string& dir) {
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

}  // namespace dorq_test
