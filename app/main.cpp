// The process entry.
#include <malloc.h>

#include "app/driver/dorq_driver.h"
#include "app/driver/dorq_usage.h"
#include "app/audit/sdorq_audit.h"
#include "app/job/sdorq_descriptors.h"
#include "app/job/sdorq_environ.h"
#include "app/base/sdorq_identity.h"
#include "app/job/sdorq_run.h"

namespace {

// Each request line gets a zero-filled buffer of 131070 bytes, which should
// come from fresh pages the kernel has zeroed already (one fault for the page
// a line touches) rather than from heap pages that calloc must clear (32
// faults). The C library maps a block of its own only when the heap's free
// top cannot hold it, so both settings are needed:
// - the mmap threshold, fixed below the buffer's size (fixing it also stops
//   the library from raising it when the first mapped buffer is freed);
// - the top pad, the extra the heap grows by, kept well under the buffer's
//   size: with the default of 128 KiB the first heap growth leaves a free top
//   large enough for a whole buffer. (Freeing trims a top above 128 KiB.)
constexpr int kMmapThreshold = 128 * 1024;
constexpr int kTopPad = 64 * 1024;

}  // namespace

int main(int argc, char** argv) {
  if (dorqIsUsageRequest(argc, argv)) {
    return dorqAnswerUsage(argv[1]);
  }
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  mallopt(M_TOP_PAD, kTopPad);
  sdorqOpenStandardDescriptors();
  sdorqEnterRootContext();  // before anything else is opened or looked up
  sdorqRecordInheritedDescriptors();
  sdorqSetAsideTimeZone();
  sdorqAuditStart();
  sdorqWatchCaller();  // after the inherited set: its pidfd is dorq's own
  sdorqIgnoreSigpipe();
  return dorqmain(argc, argv);
}
