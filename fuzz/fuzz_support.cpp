#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorq_fuzz {

namespace {

// Directories to remove at exit; a handful at most per process.
constexpr size_t kMaxDirs = 4;
std::string* gDirs[kMaxDirs];
size_t gDirCount = 0;

int removeEntry(const char* path, const struct stat* /*status*/, int /*kind*/,
                struct FTW* /*walk*/) {
  (void)remove(path);
  return 0;
}

void removeDirs() {
  for (size_t i = 0; i < gDirCount; ++i) {
    (void)nftw(gDirs[i]->c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
}

[[noreturn]] void fatal(const char* what, const std::string& path) {
  fprintf(stderr, "fuzz setup: %s: %s\n", what, path.c_str());
  abort();
}

}  // namespace

const std::string& privateDir(const char* purpose) {
  for (size_t i = 0; i < gDirCount; ++i) {
    if (gDirs[i]->find(purpose) != std::string::npos) {
      return *gDirs[i];
    }
  }
  if (gDirCount == kMaxDirs) {
    fatal("too many private directories", purpose);
  }
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                        "/dorq-fuzz-" + purpose + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fatal("mkdtemp failed", pattern);
  }
  (void)chmod(pattern.c_str(), 0755);
  if (gDirCount == 0) {
    (void)atexit(removeDirs);
  }
  gDirs[gDirCount] = new std::string(pattern);
  return *gDirs[gDirCount++];
}

void writeWholeFile(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fatal("cannot create", path);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      fatal("cannot write", path);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    fatal("cannot close", path);
  }
}

void ruleBroken(const char* file, int line, const char* rule) {
  fprintf(stderr, "\n==dorq-fuzz== rule broken at %s:%d: %s\n", file, line, rule);
  abort();
}

}  // namespace dorq_fuzz
