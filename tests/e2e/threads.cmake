# The thread primitives of the link as the Windows build compiles them: their
# waits rest on the MinGW runtime's threads, not on Linux futexes, so the
# native tests alone do not vouch for them. Run under Wine.
if(WIN32 AND TARGET gtest_main AND Python3_Interpreter_FOUND)
  add_executable(receiver_thread_wine_test ${PROJECT_SOURCE_DIR}/tests/unit/receiver_thread_test.cpp)
  target_include_directories(receiver_thread_wine_test PRIVATE ${PROJECT_SOURCE_DIR}/client)
  target_link_libraries(receiver_thread_wine_test PRIVATE gtest_main)
  add_test(NAME receiver_thread_wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_wine.py run
                   $<TARGET_FILE:receiver_thread_wine_test>)
  # A lost wake-up shows as a join that never returns: the time limit ends it.
  set_tests_properties(receiver_thread_wine PROPERTIES RESOURCE_LOCK kv_installer_wine TIMEOUT 300)
endif()
