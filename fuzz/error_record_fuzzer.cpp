// The error record's copy rule. A record full of bytes from the fuzzer gets a
// sequence of slosFillErr and slosOtherInfo calls with texts of any length,
// each in a buffer of exactly its size; after every call the record must equal
// a model of the rule: up to the limit's number of bytes copied, the source's
// terminator included when it comes first, the field's last byte set to NUL,
// everything else of the record unchanged.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "securefile/slos_err.h"

namespace {

constexpr size_t kMaxCalls = 16;
constexpr size_t kMaxText = 400;

// A terminated text in a heap buffer of exactly its size.
std::unique_ptr<char[]> exactText(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

void modelCopy(char* field, size_t limit, const char* source) {
  for (size_t i = 0; i < limit; ++i) {
    field[i] = source[i];
    if (source[i] == '\0') {
      break;
    }
  }
  field[limit] = '\0';
}

bool sameRecord(const slosErrRec& a, const slosErrRec& b) {
  return a.code == b.code && a.osError == b.osError &&
         memcmp(a.message, b.message, sizeof a.message) == 0 &&
         memcmp(a.routine, b.routine, sizeof a.routine) == 0 &&
         memcmp(a.otherInfo, b.otherInfo, sizeof a.otherInfo) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Heap-allocated so that a write past the record is seen.
  std::unique_ptr<slosErrRec> record(new slosErrRec);
  const std::string start = in.ConsumeBytesAsString(sizeof(slosErrRec));
  memset(record.get(), 0, sizeof(slosErrRec));
  memcpy(record.get(), start.data(), start.size());
  slosErrRec model = *record;
  bool filled = false;
  bool otherSet = false;

  for (size_t call = 0; call < kMaxCalls && in.remaining_bytes() > 0; ++call) {
    if (in.ConsumeBool()) {
      const int32_t code = in.ConsumeIntegral<int32_t>();
      const int32_t osError = in.ConsumeIntegral<int32_t>();
      const auto message = exactText(in.ConsumeRandomLengthString(kMaxText));
      const auto routine = exactText(in.ConsumeRandomLengthString(kMaxText));
      slosFillErr(record.get(), code, osError, message.get(), routine.get());
      model.code = code;
      model.osError = osError;
      modelCopy(model.message, kSlosMessageMax, message.get());
      modelCopy(model.routine, kSlosRoutineMax, routine.get());
      filled = true;
    } else {
      const auto text = exactText(in.ConsumeRandomLengthString(kMaxText));
      slosOtherInfo(record.get(), text.get());
      modelCopy(model.otherInfo, kSlosOtherInfoMax, text.get());
      otherSet = true;
    }
    FUZZ_CHECK(sameRecord(*record, model));
    // A field once written is terminated within itself from then on.
    FUZZ_CHECK(!filled || (record->message[kSlosMessageMax] == '\0' &&
                           record->routine[kSlosRoutineMax] == '\0'));
    FUZZ_CHECK(!otherSet || record->otherInfo[kSlosOtherInfoMax] == '\0');
  }
  // slosInitErr: code 0 and an empty otherInfo, nothing else touched.
  slosInitErr(record.get());
  model.code = 0;
  model.otherInfo[0] = '\0';
  FUZZ_CHECK(sameRecord(*record, model));
  return 0;
}
