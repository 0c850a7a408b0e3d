# Local IPC data path: request walk, data blocks, update records.
add_executable(ipc_bench ipc_bench.cpp)
target_link_libraries(ipc_bench PRIVATE kv_ipc kv_base benchmark::benchmark)
