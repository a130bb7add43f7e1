// Sanitizer defaults built into every sanitized unit-test binary, so that a
// plain ctest run judges them as the preset does: tests that ask for more
// memory than the machine has must get a null pointer back, as in the normal
// build, and any report ends the run.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=1:halt_on_error=1";
}
extern "C" const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}
