// Trace facility: the process-wide trace state, the one trace entry, its
// writer, the trace file naming and the driver's logging-context hooks.
#ifndef DORQ_APP_TRACE_DORQ_TRACE_H
#define DORQ_APP_TRACE_DORQ_TRACE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// Capacity of the trace file path, terminator included.
inline constexpr size_t kDorqTraceFileBuffer = 4096;

extern int32_t dorqTraceLevel;                    // the trace level word, set by -trclvl
extern char dorqTraceFile[kDorqTraceFileBuffer];  // trace file path, terminated
extern int64_t dorqTraceFilel;                    // its length; 0: no trace file

// Sink bits of the level word.
inline constexpr uint32_t kTraceSinkStderr = 1;
inline constexpr uint32_t kTraceSinkFile = 2;
inline constexpr uint32_t kTraceSinkStdout = 4;
// Category bits: every bit from the value 8 upward.
inline constexpr uint32_t kTraceCategories = 0xFFFFFFF8U;

// Masks callers pass.
inline constexpr uint32_t kTraceEntryExit = 8;
inline constexpr uint32_t kTraceAuth = 16;
inline constexpr uint32_t kTraceEntryOrAuth = 24;
inline constexpr uint32_t kTraceExec = 32;
inline constexpr uint32_t kTraceAlways = kTraceCategories;  // errors, option notes

// The only trace entry: passes the call to the writer when the level word
// shares a category bit with mask, or when mask has the value 1.
void dorqTrace(unsigned mask, const char* file, int line, const char* function, const char* format,
               ...) __attribute__((format(printf, 5, 6)));
// The writer: one line to each selected sink; the mask is not used.
void sdorqTrace(unsigned mask, const char* file, int line, const char* function, const char* format,
                va_list arguments) __attribute__((format(printf, 5, 0)));

// Builds the trace file path "dorq_<pid>.trc" in place of the last part of
// name; returns its length, or 0 when nothing was written.
int dorqGenTraceFileName(const char* name, int nameLength, char* out, int outSize, int pid,
                         char separator);

int sdorqGetCurrentPid();

// The driver's logging-context hooks; both keep nothing.
void sdorqSetupLogCtxt(const char* logProperty, const char* logFilePath);
void sdorqCloseLogCtxt();

// Trace from a function of a unit that defines kTraceUnit ("dorq" or "sdorq").
#define DORQ_TRACE(mask, function, ...) \
  dorqTrace((mask), kTraceUnit, __LINE__, (function), __VA_ARGS__)

#endif  // DORQ_APP_TRACE_DORQ_TRACE_H
