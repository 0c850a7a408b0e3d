# Receive-path throughput of the server link.
add_executable(link_bench link_bench.cpp)
target_link_libraries(link_bench PRIVATE kv_link benchmark::benchmark benchmark::benchmark_main)
