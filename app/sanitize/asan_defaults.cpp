// Sanitizer defaults built into the sanitized program only. dorq is started
// with whatever environment its caller gives, so its options cannot come
// from ASAN_OPTIONS: an allocation too large for the machine must come back
// as a null pointer (and status 2), as it does in the normal build, instead
// of ending the run. The core file limit is dorq's to set (to 0 for
// itself) and the caller's to get back in the job, not the runtime's.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=1:disable_coredump=0";
}
