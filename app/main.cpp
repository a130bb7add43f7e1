// The process entry.
#include <malloc.h>

#include "app/dorq_driver.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_signals.h"

namespace {

// Each request line gets a zero-filled buffer of 131070 bytes. Kept above the
// C library's mmap threshold, every buffer comes from fresh pages the kernel
// has zeroed already, instead of reused heap pages that calloc must clear.
constexpr int kMmapThreshold = 128 * 1024;

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  sdorqOpenStandardDescriptors();
  sdorqRecordInheritedDescriptors();
  sdorqIgnoreSigpipe();
  return dorqmain(argc, argv);
}
