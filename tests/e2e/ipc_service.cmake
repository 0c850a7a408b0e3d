# The IPC service's Win32 side (atom, mapping, view) with request areas made
# with SEC_RESERVE, as a Windows program under Wine: which part of the view
# the walker is given rests on VirtualQuery as Wine provides it.
if(WIN32 AND TARGET gtest_main AND Python3_Interpreter_FOUND)
  add_executable(ipc_service_wine_test ${PROJECT_SOURCE_DIR}/tests/unit/ipc_service_win32_test.cpp)
  target_link_libraries(ipc_service_wine_test PRIVATE kv_ipc gtest_main)
  add_test(NAME ipc_service_wine
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/installer_wine.py run
                   $<TARGET_FILE:ipc_service_wine_test>)
  set_tests_properties(ipc_service_wine PROPERTIES RESOURCE_LOCK kv_installer_wine TIMEOUT 120)
endif()
