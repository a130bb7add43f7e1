#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dorq_test {

TempDir::TempDir(const std::string& base) {
  std::string pattern = base + "/dorq-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed below " + base);
  }
  chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempDir::~TempDir() {
  removeTree(path_);
}

void writeFile(const std::string& path, const std::string& text, unsigned mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    throw std::runtime_error("cannot write " + path);
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      close(fd);
      throw std::runtime_error("short write to " + path);
    }
    done += static_cast<size_t>(n);
  }
  fchmod(fd, mode);
  close(fd);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

namespace {

int removeOne(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

void removeTree(const std::string& path) {
  nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace dorq_test
