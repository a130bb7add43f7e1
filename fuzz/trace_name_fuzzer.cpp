// Trace file naming with names, lengths, buffer sizes, process ids and
// separators from the fuzzer. The name and the output buffer are allocated at
// exactly the sizes the call is told, so any access past either is seen, and
// the result is compared with the naming rule stated the other way round:
// the cut comes right after whichever lies nearest to the end of the name,
// the last separator or the last-but-one underscore.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/trace/dorq_trace.h"
#include "fuzz/fuzz_support.h"

namespace {

// Room that the name must leave in the output for "dorq_<pid>.trc".
constexpr int64_t kReserve = 26;
// Largest output buffer tried; the driver's is kDorqTraceFileBuffer.
constexpr int kMaxOut = 2 * static_cast<int>(kDorqTraceFileBuffer);
constexpr unsigned char kFill = 0xEE;

size_t expectedCut(std::string_view name, char separator) {
  const size_t lastSeparator = name.rfind(separator);
  size_t cut = lastSeparator == std::string_view::npos ? 0 : lastSeparator + 1;
  if (separator != '_') {
    const size_t last = name.rfind('_');
    if (last != std::string_view::npos && last > 0) {
      const size_t butOne = name.rfind('_', last - 1);
      if (butOne != std::string_view::npos) {
        cut = std::max(cut, butOne + 1);
      }
    }
  }
  return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const char separator = in.ConsumeIntegral<char>();
  const int pid = in.ConsumeIntegral<int>();
  // Mostly sizes around the name's, now and then a negative one.
  const int outSize = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(-8, kMaxOut)
                                       : in.ConsumeIntegralInRange<int>(0, 64);
  const uint8_t lengthMode = in.ConsumeIntegral<uint8_t>();
  const std::vector<char> bytes = in.ConsumeRemainingBytes<char>();

  // nameLength never exceeds the data given.
  int nameLength = static_cast<int>(bytes.size());
  if (lengthMode == 0xFF) {
    nameLength = -1 - static_cast<int>(bytes.size() % 4);
  } else if ((lengthMode & 1) != 0 && !bytes.empty()) {
    nameLength = lengthMode % static_cast<int>(bytes.size() + 1);
  }
  const size_t given = nameLength > 0 ? static_cast<size_t>(nameLength) : 0;
  std::unique_ptr<char[]> name(new char[given]);
  if (given > 0) {
    memcpy(name.get(), bytes.data(), given);
  }

  const size_t outBytes = outSize > 0 ? static_cast<size_t>(outSize) : 0;
  std::unique_ptr<char[]> out(new char[outBytes]);
  memset(out.get(), kFill, outBytes);

  const int result =
      dorqGenTraceFileName(name.get(), nameLength, out.get(), outSize, pid, separator);

  if (nameLength < 0 || nameLength + kReserve > outSize) {
    FUZZ_CHECK(result == 0);
    for (size_t i = 0; i < outBytes; ++i) {
      FUZZ_CHECK(static_cast<unsigned char>(out[i]) == kFill);  // out is left as it was
    }
    return 0;
  }
  const std::string_view nameText(name.get(), given);
  const size_t cut = expectedCut(nameText, separator);
  const std::string file = "dorq_" + std::to_string(pid) + ".trc";
  FUZZ_CHECK(result == static_cast<int>(cut + file.size()));
  FUZZ_CHECK(static_cast<size_t>(result) < outBytes && out[static_cast<size_t>(result)] == '\0');
  FUZZ_CHECK(memcmp(out.get(), name.get(), cut) == 0);
  FUZZ_CHECK(std::string_view(out.get() + cut, file.size()) == file);
  return 0;
}
