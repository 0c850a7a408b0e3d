# Client shell: settings file, run modes, logs and timestamps.
kv_unit_test(settings_test ${CMAKE_CURRENT_SOURCE_DIR}/settings_test.cpp LIBS kv_shell)
kv_unit_test(run_mode_test ${CMAKE_CURRENT_SOURCE_DIR}/run_mode_test.cpp LIBS kv_shell)
kv_unit_test(event_log_test ${CMAKE_CURRENT_SOURCE_DIR}/event_log_test.cpp LIBS kv_base)
kv_unit_test(timestamp_test ${CMAKE_CURRENT_SOURCE_DIR}/timestamp_test.cpp LIBS kv_base)
