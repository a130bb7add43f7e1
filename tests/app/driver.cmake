# In-process tests of the driver's own steps: the options and the request
# record.
add_executable(driver_tests ${CMAKE_CURRENT_LIST_DIR}/driver_test.cpp)
target_link_libraries(driver_tests PRIVATE dorq_app dorq_test_support GTest::gtest_main)
gtest_discover_tests(driver_tests TEST_PREFIX driver. DISCOVERY_TIMEOUT 60)
