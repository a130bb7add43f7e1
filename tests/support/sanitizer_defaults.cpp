// So a plain ctest run judges a sanitized test as the preset does: huge allocations give null.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=1:halt_on_error=1";
}
extern "C" const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}
