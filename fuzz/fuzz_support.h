// Shared pieces of the fuzz targets: a private scratch directory, whole-file
// writes, and a check that stops the run with a message when a rule fails.
#ifndef DORQ_FUZZ_FUZZ_SUPPORT_H
#define DORQ_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>

#include <string>
#include <string_view>

namespace dorq_fuzz {

// A directory of this process's own below $TMPDIR (or /tmp), created on first
// use with mode 0755 and removed with everything below it at normal exit. A
// run that ends on a finding leaves it behind for inspection.
const std::string& privateDir(const char* purpose);

// Writes bytes to path, created or truncated, mode 0644; aborts on failure
// (the target cannot go on without its files).
void writeWholeFile(const std::string& path, std::string_view bytes);

// Reports a broken rule and aborts, so that libFuzzer keeps the input.
[[noreturn]] void ruleBroken(const char* file, int line, const char* rule);

}  // namespace dorq_fuzz

#define FUZZ_CHECK(condition)                                  \
  do {                                                         \
    if (!(condition)) {                                        \
      ::dorq_fuzz::ruleBroken(__FILE__, __LINE__, #condition); \
    }                                                          \
  } while (false)

#endif  // DORQ_FUZZ_FUZZ_SUPPORT_H
