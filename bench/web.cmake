# The gateway's sessions: pushes, reads and writes of a typical group.
add_executable(gateway_bench gateway_bench.cpp)
target_link_libraries(gateway_bench PRIVATE kv_web benchmark::benchmark)
