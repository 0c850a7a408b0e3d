# server_sim's logic: commands, options, image, write batches, broken frames.
kv_unit_test(server_sim_test ${CMAKE_CURRENT_LIST_DIR}/server_sim_test.cpp LIBS kv_server_sim kv_link)
