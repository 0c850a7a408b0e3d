# The client's link against server_sim across a real network: two network
# namespaces made by link_netns.py (needs root; skipped otherwise), the native
# driver in one and the simulators in the other. In a TSan build the same
# test runs the TSan driver.
if(NOT WIN32 AND NOT KV_FUZZ AND NOT CMAKE_CROSSCOMPILING AND Python3_Interpreter_FOUND)
  find_package(GTest REQUIRED)
  # The stream tests come first in the link, so they run first.
  add_executable(link_netns_driver
    ${CMAKE_CURRENT_LIST_DIR}/link_netns_stream_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link_netns_fault_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link_netns_load_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/link_netns_harness.cpp)
  target_link_libraries(link_netns_driver PRIVATE kv_link kv_ipc kv_base kv_server_sim GTest::gtest GTest::gtest_main)
  add_test(NAME link_netns
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/link_netns.py
            --driver $<TARGET_FILE:link_netns_driver> --server-sim $<TARGET_FILE:server_sim>)
  set_tests_properties(link_netns PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 150 RUN_SERIAL TRUE)
endif()
