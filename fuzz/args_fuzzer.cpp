// Command-line parsing. The fuzzer's bytes, split at NUL bytes, are the words
// after the program name (no bytes at all: no argument, not even the name).
// The trace and child-pid state is reset before each run, as in a fresh
// process, and the outcome is compared with the option rules.
//
// Traces go nowhere: the parser's own lines may switch on any sink, so for the
// run the standard streams are pointed at /dev/null (the fuzzer's and the
// sanitizers' reports use descriptors and streams taken at start and are not
// affected), and the trace file open is refused through the wrapper seam, so
// a path taken from the bytes never creates a file.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/driver/dorq_driver.h"
#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/job/sdorq_run.h"
#include "fuzz/fuzz_support.h"
#include "port/ss_wrappers.h"

// Replaces the descriptor-open wrapper for this program: the only caller is
// the trace writer's file sink.
extern "C" int ssOswOpen(const char* /*path*/, int /*flags*/, int /*mode*/) {
  errno = EACCES;
  return -1;
}

namespace {

// The trace file name that the parser puts in place of the value's last part
// must leave this much of the 4096-byte buffer free.
constexpr size_t kTraceNameReserve = 26;

FILE* gNullStream = nullptr;

enum class Word { TraceFile, TraceLevel, ChildPidFile, Other };

Word classify(const char* word) {
  const std::string_view w(word);
  if (w == "-trcfile") {
    return Word::TraceFile;
  }
  if (w == "-trclvl") {
    return Word::TraceLevel;
  }
  if (w == "-childpidfile") {
    return Word::ChildPidFile;
  }
  return Word::Other;
}

struct Expected {
  DorqStatus status = DorqStatus::Ok;
  int32_t level = 0;
  bool traceFile = false;
  const char* childPidFile = nullptr;
};

Expected parseModel(int argc, char** argv) {
  Expected e;
  for (int i = 1; i < argc; ++i) {
    const Word word = classify(argv[i]);
    if (word == Word::Other) {
      continue;
    }
    if (i + 1 == argc) {
      e.status = DorqStatus::BadOption;
      break;
    }
    const char* value = argv[++i];
    if (word == Word::TraceFile) {
      e.traceFile =
          strnlen(value, kDorqTraceFileBuffer) + kTraceNameReserve <= kDorqTraceFileBuffer;
    } else if (word == Word::TraceLevel) {
      // "%i": decimal, 0x hexadecimal or 0 octal, with a sign; the C
      // library's long conversion cut to int. No number: the level stays.
      char* end = nullptr;
      const long long level = strtoll(value, &end, 0);
      if (end != value) {
        e.level = static_cast<int32_t>(level);
      }
    } else {
      e.childPidFile = value;
    }
  }
  if (e.status == DorqStatus::Ok && (static_cast<uint32_t>(e.level) & kTraceSinkFile) != 0 &&
      !e.traceFile) {
    e.status = DorqStatus::BadOption;
  }
  return e;
}

void resetTraceState() {
  dorqTraceLevel = 0;
  memset(dorqTraceFile, 0, sizeof dorqTraceFile);
  dorqTraceFilel = 0;
  dorqChildPidFile = nullptr;
}

void checkTraceFile(const Expected& e) {
  if (!e.traceFile) {
    FUZZ_CHECK(dorqTraceFilel == 0);
    return;
  }
  FUZZ_CHECK(dorqTraceFilel > 0 && dorqTraceFilel < static_cast<int64_t>(kDorqTraceFileBuffer));
  const auto length = static_cast<size_t>(dorqTraceFilel);
  FUZZ_CHECK(strnlen(dorqTraceFile, kDorqTraceFileBuffer) == length);
  const std::string name = "dorq_" + std::to_string(getpid()) + ".trc";
  const std::string_view path(dorqTraceFile, length);
  FUZZ_CHECK(path.ends_with(name));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  gNullStream = fopen("/dev/null", "w");
  FUZZ_CHECK(gNullStream != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each word in a buffer of its exact size, so a read past its end is seen.
  std::vector<char*> words;
  if (size > 0) {
    char* const name = strdup("dorq");
    FUZZ_CHECK(name != nullptr);
    words.push_back(name);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (true) {
      const size_t end = std::min(bytes.find('\0', start), bytes.size());
      char* const word = static_cast<char*>(malloc(end - start + 1));
      FUZZ_CHECK(word != nullptr);
      memcpy(word, bytes.data() + start, end - start);
      word[end - start] = '\0';
      words.push_back(word);
      if (end == bytes.size()) {
        break;
      }
      start = end + 1;
    }
  }
  const int argc = static_cast<int>(words.size());
  words.push_back(nullptr);
  char** const argv = words.data();

  const Expected expected = parseModel(argc, argv);

  resetTraceState();
  FILE* const savedOut = stdout;
  FILE* const savedErr = stderr;
  stdout = gNullStream;
  stderr = gNullStream;
  const DorqStatus status = dorqParseArgs(argc, argv);
  (void)fflush(gNullStream);
  stdout = savedOut;
  stderr = savedErr;

  FUZZ_CHECK(status == expected.status);
  FUZZ_CHECK(dorqTraceLevel == expected.level);
  FUZZ_CHECK(dorqChildPidFile == expected.childPidFile);
  checkTraceFile(expected);

  // The child-pid state points into this run's words: forget it first.
  resetTraceState();
  for (char* word : words) {
    free(word);
  }
  return 0;
}
