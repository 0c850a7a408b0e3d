# The thread primitives and the socket seam of the link as the Windows build
# compiles them: their waits rest on the MinGW runtime's threads and on
# Winsock as Wine provides it, not on Linux futexes and sockets, so the native
# tests alone do not vouch for them. Run under Wine.
if(WIN32 AND TARGET gtest_main AND Python3_Interpreter_FOUND)
  add_executable(receiver_thread_wine_test ${PROJECT_SOURCE_DIR}/tests/unit/receiver_thread_test.cpp)
  target_include_directories(receiver_thread_wine_test PRIVATE ${PROJECT_SOURCE_DIR}/client)
  target_link_libraries(receiver_thread_wine_test PRIVATE gtest_main)
  add_test(NAME receiver_thread_wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_wine.py run
                   $<TARGET_FILE:receiver_thread_wine_test>)
  # A lost wake-up shows as a join that never returns: the time limit ends it.
  set_tests_properties(receiver_thread_wine PROPERTIES RESOURCE_LOCK kv_installer_wine TIMEOUT 300)

  add_executable(net_wine_test ${PROJECT_SOURCE_DIR}/tests/unit/net_test.cpp)
  target_link_libraries(net_wine_test PRIVATE kv_link gtest_main)
  add_test(NAME net_wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_wine.py run $<TARGET_FILE:net_wine_test>)
  # A send time limit that Wine did not keep shows as a send that never returns.
  set_tests_properties(net_wine PROPERTIES RESOURCE_LOCK kv_installer_wine TIMEOUT 120)
endif()
