// Command-line options: "-trcfile" path, "-trclvl" number, "-childpidfile"
// value. Options act in the order given; other words are skipped.
#include <string.h>

#include "app/driver/dorq_driver.h"
#include "app/base/dorq_numbers.h"
#include "app/base/dorq_status.h"
#include "app/trace/dorq_trace.h"
#include "app/job/sdorq_run.h"

namespace {

constexpr const char* kTraceUnit = "dorq";
constexpr const char* kFunction = "dorqParseArgs";

enum class Option { TraceFile, TraceLevel, ChildPidFile, None };

Option matchOption(const char* word) {
  for (size_t i = 0; i < dorqTraceArgKeywordArr.size(); ++i) {
    if (strcmp(word, dorqTraceArgKeywordArr[i]) == 0) {
      return static_cast<Option>(i);
    }
  }
  return Option::None;
}

// The trace file path is rebuilt so that each process writes a file of its
// own; a value too long for the buffer leaves the trace file off.
void setTraceFile(const char* value) {
  const int length = static_cast<int>(strnlen(value, kDorqTraceFileBuffer));
  dorqTraceFilel =
      dorqGenTraceFileName(value, length, dorqTraceFile, static_cast<int>(kDorqTraceFileBuffer),
                           sdorqGetCurrentPid(), '/');
  DORQ_TRACE(kTraceAlways, kFunction, "Tracing to file %.*s", static_cast<int>(dorqTraceFilel),
             dorqTraceFile);
}

// Text that is not a number leaves the level as it was.
void setTraceLevel(const char* value) {
  if (const auto level = dorqScanInteger(value)) {
    dorqTraceLevel = *level;
  }
  DORQ_TRACE(kTraceAlways, kFunction, "Tracing set to level %d", dorqTraceLevel);
}

// The command-line text itself is kept; it lives as long as the process.
void setChildPidFile(const char* value) {
  dorqChildPidFile = value;
  DORQ_TRACE(kTraceAlways, kFunction, "Sending child pid to %.*s",
             static_cast<int>(strnlen(value, kDorqTraceFileBuffer)), value);
}

void applyOption(Option option, const char* value) {
  switch (option) {
    case Option::TraceFile:
      setTraceFile(value);
      break;
    case Option::TraceLevel:
      setTraceLevel(value);
      break;
    case Option::ChildPidFile:
      setChildPidFile(value);
      break;
    case Option::None:
      break;
  }
}

// Walks the words after the program name; an option word with no value after
// it ends parsing with status 20.
DorqStatus parseWords(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const Option option = matchOption(argv[i]);
    if (option == Option::None) {
      continue;
    }
    if (i + 1 >= argc) {
      return DorqStatus::BadOption;
    }
    ++i;
    applyOption(option, argv[i]);
  }
  return DorqStatus::Ok;
}

}  // namespace

DorqStatus dorqParseArgs(int argc, char** argv) {
  // With no word after the program name (or no argument at all, as a hostile
  // caller can arrange) nothing is examined.
  DorqStatus status = argc >= 2 ? parseWords(argc, argv) : DorqStatus::Ok;
  const bool wantsFile = (static_cast<uint32_t>(dorqTraceLevel) & kTraceSinkFile) != 0;
  if (status == DorqStatus::Ok && wantsFile && dorqTraceFilel == 0) {
    status = DorqStatus::BadOption;
  }
  DORQ_TRACE(kTraceEntryExit, kFunction, "Exit with status %d", static_cast<int>(status));
  return status;
}
