# The YMODEM sender against lrzsz's rb over a pseudo-terminal and the real
# platform layer (skipped when rb is not installed).
add_executable(ymodem_interop_tests ${CMAKE_CURRENT_LIST_DIR}/rb_interop_test.cpp)
target_include_directories(ymodem_interop_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(ymodem_interop_tests PRIVATE GTest::gtest_main vantrel_ymodem
                                                   vantrel_platform)
gtest_discover_tests(ymodem_interop_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 180)
