// The process entry.
#include "app/dorq_driver.h"
#include "app/sdorq_descriptors.h"

int main(int argc, char** argv) {
  sdorqOpenStandardDescriptors();
  sdorqRecordInheritedDescriptors();
  return dorqmain(argc, argv);
}
