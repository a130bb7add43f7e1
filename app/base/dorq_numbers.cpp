// Number conversions with defined results for every input.
#include "app/base/dorq_numbers.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

namespace {

// strtoll clamps at its own range; the low 32 bits of the clamped value are
// what the C library's int conversions leave in practice, and C++20 defines
// that narrowing.
std::optional<int> scan(const char* text, int base) {
  char* end = nullptr;
  const int saved = errno;
  const long long value = strtoll(text, &end, base);
  errno = saved;
  if (end == text) {
    return std::nullopt;
  }
  return static_cast<int>(static_cast<int32_t>(value));
}

}  // namespace

int dorqAtoi(const char* text) {
  return scan(text, 10).value_or(0);
}

std::optional<int> dorqScanDecimal(const char* text) {
  return scan(text, 10);
}

std::optional<int> dorqScanInteger(const char* text) {
  return scan(text, 0);
}
