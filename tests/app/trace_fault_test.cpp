// Every call that one trace line to the trace file makes through the
// replaceable wrappers, failed in turn: first the calls of a clean line are
// counted, then call k of each wrapper fails for every k, for a trace file
// that is created by the line and for one that exists. Tracing never fails
// its caller: each failure only changes which sinks receive the line, and
// leaves no descriptor open and no memory behind.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/app/trace_fixture.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define TRACE_FAULT_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACE_FAULT_LSAN 1
#endif
#endif
#ifdef TRACE_FAULT_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace trace_test {
namespace {

using dorq_test::Wrapper;

// Standard error, the trace file and standard output, entry and exit lines.
constexpr int32_t kAllSinks = 0x0F;
constexpr char kOld[] = "old\n";

using dorq_test::kWrappers;
using dorq_test::WrapperCase;

bool leaked() {
#ifdef TRACE_FAULT_LSAN
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

// Which sinks received the line, and what the trace file holds.
struct Reached {
  bool err;
  bool out;
  bool fileExists;
  std::string fileText;  // without the line, when the line reached it
  bool fileHasLine;
};

bool isTheLine(const std::string& text) {
  std::vector<Line> lines;
  return parseLines(text, &lines) && lines.size() == 1 && lines[0].message == "faulty" &&
         lines[0].function == "faultTest";
}

// What each failure documents. The line opens the file (ssOswOpen), turns the
// descriptor into a stream (ssOswFdopen) and closes the stream (ssOswFclose).
// No safe file opened: the line skips the file and standard output. No
// stream: only the file misses the line. A failed close changes nothing the
// line could show.
Reached expectedReach(Wrapper which, bool existing) {
  const std::string before = existing ? kOld : "";
  switch (which) {
    case Wrapper::Open:
      return Reached{true, false, existing, before, false};
    case Wrapper::Fdopen:
      return Reached{true, true, true, before, false};
    default:
      return Reached{true, true, true, before, true};
  }
}

class TraceFaults : public TraceTest {
 protected:
  // Traces one line with the file in place (or absent) and reports the sinks.
  Reached traceLine(bool existing) {
    unlink(tracePath_.c_str());
    if (existing) {
      dorq_test::writeFile(tracePath_, kOld);
    }
    dorqTraceLevel = kAllSinks;
    setTraceFile(tracePath_);
    const Sinks sinks = capture([] { dorqTrace(8, "sdorq", 77, "faultTest", "%s", "faulty"); });
    struct stat status {};
    Reached reached{isTheLine(sinks.err), isTheLine(sinks.out),
                    lstat(tracePath_.c_str(), &status) == 0, sinks.file, false};
    const size_t oldLength = existing ? sizeof kOld - 1 : 0;
    if (sinks.file.size() > oldLength && isTheLine(sinks.file.substr(oldLength))) {
      reached.fileHasLine = true;
      reached.fileText = sinks.file.substr(0, oldLength);
    }
    return reached;
  }
};

void expectReached(const Reached& got, const Reached& want) {
  EXPECT_EQ(got.err, want.err) << "standard error";
  EXPECT_EQ(got.out, want.out) << "standard output";
  EXPECT_EQ(got.fileExists, want.fileExists) << "the trace file exists";
  EXPECT_EQ(got.fileHasLine, want.fileHasLine) << "the trace file got the line";
  EXPECT_EQ(got.fileText, want.fileText) << "the trace file's other text";
}

TEST_F(TraceFaults, EveryWrapperCallOfALineFailsInTurn) {
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing trace file" : "new trace file");
    dorq_test::resetFaults();
    expectReached(traceLine(existing), expectedReach(Wrapper::Count, existing));
    for (const WrapperCase& w : kWrappers) {
      dorq_test::resetFaults();
      (void)traceLine(existing);
      const unsigned calls = dorq_test::callCount(w.wrapper);
      const bool used = w.wrapper == Wrapper::Open || w.wrapper == Wrapper::Fdopen ||
                        w.wrapper == Wrapper::Fclose;
      EXPECT_EQ(calls, used ? 1U : 0U) << w.name;
      for (unsigned k = 1; k <= calls; ++k) {
        SCOPED_TRACE(std::string(w.name) + " call " + std::to_string(k) + " of " +
                     std::to_string(calls));
        const int descriptors = openDescriptors();
        dorq_test::resetFaults();
        dorq_test::armFault(w.wrapper, k, w.error);
        const Reached reached = traceLine(existing);
        dorq_test::resetFaults();
        expectReached(reached, expectedReach(w.wrapper, existing));
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor leaked";
        EXPECT_FALSE(leaked());
      }
    }
  }
}

}  // namespace
}  // namespace trace_test
