// A whole settings file through the lookup. The fuzzer's bytes become
// "env.zan" in a private installation home named by ZANTIX_HOME; the lookups
// that miss the environment read it through the guarded open and the line
// reader, and their answers are compared with a reading of the same bytes by
// the file's rules: pieces of at most 1088 bytes up to a newline, the first
// accepted line of a name wins.
//
// The cache is once per process. Between runs it is put back to its state at
// start in this process rather than in a forked child per input, which would
// cost a fork of the sanitized process every time: slzgetevarf_cleanup releases the entries and
// empties the cache, and the attempt mark is cleared; the lock stays initialised, as it would after
// a first use. Because the cache is rebuilt in every run, the cleanup's registration with atexit,
// once per process in the program, would be repeated in every run here: the link wraps atexit so
// that the cleanup is registered once and the exit table does not grow without bound.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "fuzz/settings_model.h"
#include "settings/slzgetevar.h"
#include "settings/slzgetevarf_cache.h"

extern "C" {
int __real_atexit(void (*function)(void));

int __wrap_atexit(void (*function)(void)) {
  static bool cleanupRegistered = false;
  if (function == slzgetevarf_cleanup) {
    if (cleanupRegistered) {
      return 0;
    }
    cleanupRegistered = true;
  }
  return __real_atexit(function);
}
}

namespace {

constexpr size_t kPiece = kSlzLineBuffer - 1;
constexpr uint64_t kCallerBuffer = 1024;
constexpr unsigned char kFill = 0xEE;

std::string gHome;

struct Lookup {
  int32_t result;
  uint32_t error;
  std::string value;
};

// Looks name up into a buffer of exactly bufsize bytes, prefilled; the bytes
// past the result must be untouched.
Lookup lookup(std::string_view name, uint64_t bufsize) {
  std::unique_ptr<char[]> buf(new char[bufsize]);
  memset(buf.get(), kFill, bufsize);
  uint32_t error = 12345;
  const int32_t result = slzgetevar(&error, name.data(), name.size(), buf.get(), bufsize, 0);
  const size_t written = result > 0 ? static_cast<size_t>(result) : 0;
  FUZZ_CHECK(written <= bufsize);
  for (size_t i = written; i < bufsize; ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(buf[i]) == kFill);
  }
  return {result, error, std::string(buf.get(), written)};
}

// The first value the file supplies for name, by the file's rules.
std::optional<std::string> modelFileValue(std::string_view file, std::string_view name) {
  size_t at = 0;
  while (at < file.size()) {
    std::string_view piece = file.substr(at, kPiece);
    if (const size_t newline = piece.find('\n'); newline != std::string_view::npos) {
      piece = piece.substr(0, newline + 1);
    }
    at += piece.size();
    if (const auto setting = dorq_fuzz::modelParseLine(piece); setting && setting->first == name) {
      return setting->second;
    }
  }
  return std::nullopt;
}

void checkFileSetting(std::string_view file, std::string_view name, uint64_t bufsize) {
  const Lookup got = lookup(name, bufsize);
  const std::optional<std::string> value = modelFileValue(file, name);
  if (!value) {
    FUZZ_CHECK(got.result == kSlzResultNotSet && got.error == kSlzNotSet);
  } else if (value->size() > bufsize) {
    FUZZ_CHECK(got.result == kSlzResultError && got.error == kSlzInvalid);
  } else {
    FUZZ_CHECK(got.result == static_cast<int32_t>(value->size()) && got.error == kSlzOk);
    FUZZ_CHECK(got.value == *value);
  }
}

void resetCache() {
  slzgetevarf_cleanup();
  __atomic_store_n(&slzgetevarf_parse_attempted, 0U, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  gHome = dorq_fuzz::privateDir("settings");
  setenv("ZANTIX_HOME", gHome.c_str(), 1);
  for (const char* name : {"KVL_ADMIN", "DISABLE_VUDOV_FEATURES", "logProperty", "logFilePath"}) {
    unsetenv(name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  resetCache();
  dorq_fuzz::writeWholeFile(gHome + "/env.zan", file);

  // A name the file may not supply: the first miss reads the file all the same.
  const Lookup other = lookup("logProperty", kCallerBuffer);
  FUZZ_CHECK(other.result == kSlzResultNotSet && other.error == kSlzNotSet);
  FUZZ_CHECK(__atomic_load_n(&slzgetevarf_parse_attempted, __ATOMIC_ACQUIRE) == 1U);

  checkFileSetting(file, "KVL_ADMIN", kCallerBuffer);
  // The second name with a buffer from 1 to 1024 bytes, so that values longer
  // than the buffer are met.
  checkFileSetting(file, "DISABLE_VUDOV_FEATURES", 1 + size % kCallerBuffer);

  // The home comes from the environment only, never from the file.
  const Lookup home = lookup("ZANTIX_HOME", kCallerBuffer);
  FUZZ_CHECK(home.result == static_cast<int32_t>(gHome.size()) && home.value == gHome);
  return 0;
}
