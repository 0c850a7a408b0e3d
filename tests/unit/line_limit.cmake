# The limit of one kind of log line (client/base), on a driven clock.
kv_unit_test(line_limit_test ${CMAKE_CURRENT_SOURCE_DIR}/line_limit_test.cpp LIBS kv_base)
