// The process-wide trace state and the one trace entry with its level test.
#include "app/trace/dorq_trace.h"

int32_t dorqTraceLevel = 0;
char dorqTraceFile[kDorqTraceFileBuffer] = {};
int64_t dorqTraceFilel = 0;

namespace {

// A mask with this value set passes the level test whatever the category
// bits of the level word are.
constexpr uint32_t kMaskPassesAlways = 1;

// True when a line with this mask is to be handed to the writer: the level
// word and the mask share a category bit, or the mask forces the line. The
// sink bits of both take no part here; the writer reads them.
bool passesLevelTest(uint32_t mask) {
  const auto level = static_cast<uint32_t>(dorqTraceLevel);
  return (level & mask & kTraceCategories) != 0 || (mask & kMaskPassesAlways) != 0;
}

}  // namespace

void dorqTrace(unsigned mask, const char* file, int line, const char* function, const char* format,
               ...) {
  if (!passesLevelTest(mask)) {
    return;
  }
  va_list arguments;
  va_start(arguments, format);
  sdorqTrace(mask, file, line, function, format, arguments);
  va_end(arguments);
}
