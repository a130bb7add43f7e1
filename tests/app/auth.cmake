# Authentication. The conversation runs in process, with the fault injector.
add_executable(dorq_auth_test ${CMAKE_CURRENT_LIST_DIR}/auth_conv_test.cpp)
target_link_libraries(dorq_auth_test PRIVATE
  dorq_app dorq_fault_injection dorq_warnings GTest::gtest_main)
gtest_discover_tests(dorq_auth_test TEST_PREFIX auth. DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)

# Stand-ins for libpam that lack pam_setcred or fail pam_end.
foreach(variant NO_SETCRED END_FAILS)
  string(TOLOWER ${variant} name)
  add_library(dorq_fake_pam_${name} SHARED ${CMAKE_CURRENT_LIST_DIR}/auth_fake_pam.cpp)
  target_compile_definitions(dorq_fake_pam_${name} PRIVATE DORQ_FAKE_PAM_${variant})
  target_link_libraries(dorq_fake_pam_${name} PRIVATE dorq_warnings)
endforeach()

# One PAM attempt, the two-service policy and the loading of the library, in
# children of a process that never loads libpam.
add_executable(dorq_auth_loader_test ${CMAKE_CURRENT_LIST_DIR}/auth_pam_test.cpp)
target_link_libraries(dorq_auth_loader_test PRIVATE
  dorq_app dorq_harness dorq_warnings GTest::gtest_main)
target_compile_definitions(dorq_auth_loader_test PRIVATE
  DORQ_FAKE_PAM_NO_SETCRED="$<TARGET_FILE:dorq_fake_pam_no_setcred>"
  DORQ_FAKE_PAM_END_FAILS="$<TARGET_FILE:dorq_fake_pam_end_fails>")
add_dependencies(dorq_auth_loader_test dorq_fake_pam_no_setcred dorq_fake_pam_end_fails)
gtest_discover_tests(dorq_auth_loader_test TEST_PREFIX auth. DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 60)
