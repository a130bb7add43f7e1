// One line of the settings file through slzgetevarf_parseline, compared with
// the line rules. The line is a terminated copy of the fuzzer's bytes in a
// buffer of exactly its size; it ends at its first NUL like any C text.
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "fuzz/settings_model.h"
#include "port/ss_wrappers.h"
#include "settings/slzgetevar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> line(new char[size + 1]);
  memcpy(line.get(), data, size);
  line[size] = '\0';

  const auto expected = dorq_fuzz::modelParseLine(std::string_view(line.get(), size));

  char* name = nullptr;
  char* value = nullptr;
  const int result = slzgetevarf_parseline(line.get(), &name, &value);
  if (!expected) {
    // The outputs then carry nothing the caller may use.
    FUZZ_CHECK(result == -1);
    return 0;
  }
  FUZZ_CHECK(result == 0);
  FUZZ_CHECK(name != nullptr && value != nullptr);
  FUZZ_CHECK(expected->first == name);
  FUZZ_CHECK(expected->second == value);
  ssMemFree(name);
  ssMemFree(value);
  return 0;
}
