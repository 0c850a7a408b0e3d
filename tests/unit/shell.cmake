# Client shell: the settings file (start-up, line grammar, typed entries,
# writer), run modes, logs and timestamps.
foreach(settingsTest settings_startup_test settings_grammar_test settings_entries_test settings_writer_test)
  kv_unit_test(${settingsTest} ${CMAKE_CURRENT_SOURCE_DIR}/${settingsTest}.cpp LIBS kv_shell)
endforeach()
kv_unit_test(run_mode_test ${CMAKE_CURRENT_SOURCE_DIR}/run_mode_test.cpp LIBS kv_shell)
kv_unit_test(event_log_test ${CMAKE_CURRENT_SOURCE_DIR}/event_log_test.cpp LIBS kv_base)
kv_unit_test(timestamp_test ${CMAKE_CURRENT_SOURCE_DIR}/timestamp_test.cpp LIBS kv_base)
