# The trace facility: level test, line format, the three sinks and the trace
# file naming. The fault injector replaces the open and stream wrappers so the
# tests can fail or watch them.
add_executable(trace_tests ${CMAKE_CURRENT_LIST_DIR}/trace_test.cpp)
target_link_libraries(trace_tests PRIVATE
  dorq_fault_injection dorq_app dorq_test_support GTest::gtest_main)
gtest_discover_tests(trace_tests)
