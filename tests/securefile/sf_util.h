// Helpers of the secure-file tests: real trees below a secure /tmp, records
// that show whether a call wrote them, descriptor counts and leak checks.
#ifndef DORQ_TESTS_SECUREFILE_SF_UTIL_H
#define DORQ_TESTS_SECUREFILE_SF_UTIL_H

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "securefile/slf_file.h"
#include "tests/support/fault_injection.h"
#include "tests/support/private_ns.h"
#include "tests/support/temp_dir.h"

// Present only in the sanitizer build.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace sf_test {

// An unused id that owns the trees' "other user" parts.
inline constexpr uid_t kUserA = 4321;

// mkdir with exactly this mode and owner (-1: the creator).
inline void makeDir(const std::string& path, mode_t mode, uid_t owner = -1) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}
inline void makeLink(const std::string& text, const std::string& path, uid_t owner = -1) {
  ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

// A record whose every byte is a pattern, to see whether a call touched it.
inline slosErrRec patternRecord() {
  slosErrRec record;
  memset(&record, 0x5A, sizeof record);
  return record;
}
inline bool untouched(const slosErrRec& record) {
  const std::string_view bytes(reinterpret_cast<const char*>(&record), sizeof record);
  return bytes.find_first_not_of('\x5A') == std::string_view::npos;
}

// The four fields one fill writes, as one comparable text.
inline std::string rec(int32_t code, int32_t error, const char* message, const char* routine) {
  return std::to_string(code) + " " + std::to_string(error) + " \"" + message + "\" " + routine;
}
inline std::string rec(const slosErrRec& r) {
  return rec(r.code, r.osError, r.message, r.routine);
}

// Nested directories below base making a directory path of exactly `length`
// characters (at least 250 more than base).
inline std::string makeDeepDir(const std::string& base, size_t length) {
  std::string dir = base;
  while (length - dir.size() > 250) {
    dir += "/" + std::string(200, 'd');
    mkdir(dir.c_str(), 0755);
  }
  dir += "/" + std::string(length - dir.size() - 1, 'e');
  EXPECT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
  return dir;
}

inline int openDescriptors() {
  using std::filesystem::directory_iterator;
  return static_cast<int>(std::distance(directory_iterator("/proc/self/fd"), directory_iterator()));
}

// LeakSanitizer's verdict so far (always false without the sanitizer).
inline bool leaks() {
  return __lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0;
}

struct HandleCloser {
  void operator()(SlfFile* handle) const {
    slosErrRec record = patternRecord();
    EXPECT_EQ(SlfFclose(handle, &record, 0), 0);
  }
};
using Handle = std::unique_ptr<SlfFile, HandleCloser>;

// An open's handle and its record, which must stay untouched on success.
struct Opened {
  Handle handle;
  slosErrRec record;
  FILE* stream() const { return static_cast<FILE*>(handle->stream); }
};
using OpenCall = SlfFile* (*)(const char*, const char*, int32_t, int32_t, int32_t, slosErrRec*,
                              int32_t);
inline Opened openWith(OpenCall call, const std::string& name, const char* dir = nullptr,
                       int32_t access = 0, int32_t flags = 0, int32_t kind = kSlfKindNamed) {
  Opened out{nullptr, patternRecord()};
  out.handle.reset(call(name.c_str(), dir, access, flags, kind, &out.record, 0));
  if (out.handle) {
    EXPECT_TRUE(untouched(out.record)) << "a successful open wrote the record";
  }
  return out;
}
inline constexpr auto guardedOpen = [](const auto&... args) {
  return openWith(SlfFopen2, args...);
};
inline constexpr auto plainOpen = [](const auto&... args) { return openWith(SlfFopen, args...); };

// A fresh directory for each test; as root, below a private /tmp owned by
// root with mode 0755, so that trees below it can be secure.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool secureTmp = geteuid() == 0 && dorq_test::enterPrivateMountNamespace() &&
                                  dorq_test::mountTmpfs("/tmp") && chmod("/tmp", 0755) == 0;
    ASSERT_TRUE(secureTmp || geteuid() != 0);
    base_ = std::make_unique<dorq_test::TempDir>("/tmp");
  }
  void TearDown() override { dorq_test::resetFaults(); }
  const std::string& base() const { return base_->path(); }
  std::string at(const std::string& name) const { return base() + "/" + name; }

 private:
  std::unique_ptr<dorq_test::TempDir> base_;
};

}  // namespace sf_test

#endif  // DORQ_TESTS_SECUREFILE_SF_UTIL_H
