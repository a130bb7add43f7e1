// The process entry.
#include "app/dorq_driver.h"
#include "app/sdorq_descriptors.h"
#include "app/sdorq_signals.h"

int main(int argc, char** argv) {
  sdorqOpenStandardDescriptors();
  sdorqRecordInheritedDescriptors();
  sdorqIgnoreSigpipe();
  return dorqmain(argc, argv);
}
